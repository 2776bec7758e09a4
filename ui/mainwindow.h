#pragma once

#include <QMainWindow>
#include <QString>

class Model;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    Model *getModel() const { return model; }

public slots:
    void on_configuration_loaded();
    void on_configuration_failed();
    void on_terminals_found();
    void on_terminals_failed();
    void on_module_progressed(QString info, int value);
    void on_total_progressed(QString info, int value);

private:
    Model *model;
};
