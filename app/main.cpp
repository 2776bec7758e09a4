#include "station/workshopsettings.h"
#include "system/versionoption.h"
#include "ui/mainwindow.h"
#include "ui/workshopwindow.h"

#include <QApplication>
#include <QDir>
#include <QStringList>

int main(int argc, char *argv[])
{
    if (versionoption::asked(argc, argv))
        return versionoption::print("vardel");
    QApplication application(argc, argv);
    // vardel --atelier: the workshop window alone, in automatic mode from the start, its
    // journal beside the log (the working directory) and its broker from its settings file.
    if (application.arguments().mid(1).contains(QStringLiteral("--atelier"))) {
        int status = 0;
        {
            WorkshopWindow workshop(WorkshopWindow::kept(QDir::currentPath()), true, nullptr,
                                    workshopsettings::file());
            workshop.show();
            status = application.exec();
        }
        WorkshopWindow::waitForLeftWork(10000);
        return status;
    }
    int status = 0;
    {
        MainWindow window; // shows itself once it is ready
        status = application.exec();
    }
    WorkshopWindow::waitForLeftWork(10000); // a workshop opened from the menu may have left some
    return status;
}
