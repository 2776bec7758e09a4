#pragma once

#include <QDialog>

namespace Ui {
class About;
}

// The About dialog: the program's name, version and build, and the maker's logo, which opens
// the maker's web site.
class About : public QDialog
{
    Q_OBJECT

public:
    explicit About(QWidget *parent);
    ~About() override;

    static const char *const kWebSite;

private slots:
    void on_pushButton_clicked();

private:
    Ui::About *ui;
};
