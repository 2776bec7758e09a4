#include "about.h"

#include "ui_about.h"

#include <QDesktopServices>
#include <QUrl>

const char *const About::kWebSite = "https://www.tarvenix.example/";

About::About(QWidget *parent) : QDialog(parent), ui(new Ui::About)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->buildLabel->setText(QStringLiteral("Build: 20200602"));
    ui->versionLabel->setText(QStringLiteral("Version: 2.2.1"));
    ui->label_5->setStyleSheet(QStringLiteral("color: rgba(60, 177, 195)"));
}

About::~About()
{
    delete ui;
}

void About::on_pushButton_clicked()
{
    QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromLatin1(kWebSite)));
}
