#include "mainwindow.h"

#include "app/logger.h"
#include "model/model.h"

// The bare window of the first milestone: it owns the Model and writes the run's banners.
MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Vardel"));
    model = new Model(this);
    model->log(logger::startBanner);
    show();
}

MainWindow::~MainWindow()
{
    model->log(logger::endBanner);
    delete model;
}

void MainWindow::on_configuration_loaded() {}
void MainWindow::on_configuration_failed() {}
void MainWindow::on_terminals_found() {}
void MainWindow::on_terminals_failed() {}
void MainWindow::on_module_progressed(QString, int) {}
void MainWindow::on_total_progressed(QString, int) {}
