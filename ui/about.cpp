#include "about.h"

#include "crypto/devkeys.h"
#include "system/buildinfo.h"
#include "ui_about.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

const char *const About::kWebSite = "https://www.tarvenix.example/";

About::About(QWidget *parent) : QDialog(parent), ui(new Ui::About)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->buildLabel->setText(QStringLiteral("Build: ") + buildinfo::build());
    ui->versionLabel->setText(QStringLiteral("Version: ") + buildinfo::version());
    ui->label_5->setStyleSheet(QStringLiteral("color: rgba(60, 177, 195)"));
    // A build with the development keys says so, below the logo.
    if (devkeys::inUse()) {
        auto *keys = new QLabel(devkeys::notice(), this);
        keys->setObjectName(QStringLiteral("developmentKeysLabel"));
        keys->setGeometry(0, 124, 351, 31);
        keys->setAlignment(Qt::AlignCenter);
        keys->setFont(ui->label_6->font());
        keys->setStyleSheet(QStringLiteral("color: rgb(200, 0, 0); font-weight: bold"));
    }
    // Below the form, in a band of its own.
    setFixedSize(width(), height() + 40);
    reportButton = new QPushButton(QStringLiteral("Enregistrer un rapport de diagnostic"), this);
    reportButton->setObjectName(QStringLiteral("reportButton"));
    reportButton->setGeometry(165, height() - 36, 300, 30);
    reportButton->setFont(ui->label_6->font());
    reportButton->setAutoDefault(false);
    connect(reportButton, &QPushButton::clicked, this, &About::reportRequested);
}

void About::setReportEnabled(bool enabled)
{
    reportButton->setEnabled(enabled);
}

About::~About()
{
    delete ui;
}

void About::on_pushButton_clicked()
{
    QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromLatin1(kWebSite)));
}
