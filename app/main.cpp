#include "app/versionoption.h"
#include "ui/mainwindow.h"
#include "ui/workshopwindow.h"

#include <QApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
    if (versionoption::asked(argc, argv))
        return versionoption::print("vardel");
    QApplication application(argc, argv);
    // vardel --atelier: the workshop window alone, in automatic mode from the start.
    if (application.arguments().mid(1).contains(QStringLiteral("--atelier"))) {
        int status = 0;
        {
            WorkshopWindow workshop(StationSettings(), true);
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
