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
        WorkshopWindow workshop(StationSettings(), true);
        workshop.show();
        return application.exec();
    }
    MainWindow window; // shows itself once it is ready
    return application.exec();
}
