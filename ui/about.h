#pragma once

#include <QDialog>

namespace Ui {
class About;
}

// The About dialog: the program's name, version and build, the maker's logo, which opens the
// maker's web site, and the button that saves a report for support.
class About : public QDialog
{
    Q_OBJECT

public:
    explicit About(QWidget *parent);
    ~About() override;

    static const char *const kWebSite;

    // Whether the report button may be pressed (not while an installation runs).
    void setReportEnabled(bool enabled);

signals:
    // The operator asks for a report for support.
    void reportRequested();

private slots:
    void on_pushButton_clicked();

private:
    Ui::About *ui;
    class QPushButton *reportButton;
};
