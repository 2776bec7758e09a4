// An installation whose terminal port will not open, over a mocked terminal: for each cause the
// box keeps its title and message and adds the remedy, and the log gives the cause after the
// result line. root passes every permission check and opens ports held exclusively, so the
// installation runs with this whole process made nobody (every thread), root again afterwards.
#include "link/portdiagnosis.h"
#include "mockbed.h"
#include "packagefixture.h"
#include "simrig.h"
#include "model/model.h"
#include "ui/mainwindow.h"

#include <QtTest>
#include <QtWidgets>

#include <climits>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString operator""_q(const char *text, size_t size)
{
    return QString::fromUtf8(text, int(size));
}

const QString kResult = "Erreur ouverture | Le terminal sélectionné n'est pas disponible.\n"
                        "Veuillez fermer toutes les applications et réessayer ou contacter le "
                        "support."_q;
const QString kCause = "Cause de l'échec d'ouverture : "_q;

// This process as nobody:nogroup until destroyed, then root again without supplementary groups
// (nothing for a process that is not root).
class Unprivileged
{
public:
    Unprivileged()
    {
        const passwd *nobody = ::getpwnam("nobody");
        const group *nogroup = ::getgrnam("nogroup");
        if (root && (!nobody || !nogroup || ::setgroups(0, nullptr) != 0 ||
                     ::setresgid(nogroup->gr_gid, nogroup->gr_gid, 0) != 0 ||
                     ::setresuid(nobody->pw_uid, nobody->pw_uid, 0) != 0))
            qFatal("cannot become nobody");
    }
    ~Unprivileged()
    {
        if (root && (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0))
            qFatal("cannot become root again");
        ::prctl(PR_SET_DUMPABLE, 1); // changing IDs cleared it
    }

private:
    const bool root = ::geteuid() == 0;
};

} // namespace

class TestOpenFailure : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(fixture::writePackage(Configuration::directory()));
        QVERIFY(QDir::setCurrent(work.path()));
        // The programs started here (pgrep, the holders) run without umockdev, which would hide
        // the real device nodes from them, and without a sanitizer runtime.
        qunsetenv("LD_PRELOAD");
        connect(&boxCloser, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                boxes << box->windowTitle() + " | "_q + box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        boxCloser.start(30);
    }
    void cleanupTestCase() { QDir(Configuration::directory()).removeRecursively(); }

    void init()
    {
        // The shipped retry where it matters. Elsewhere a short one: umockdev keeps a record of
        // every open of a mocked node that fails as busy, and aborts after a few dozen.
        Model::Timing timing = SimRig::fastTiming();
        timing.searchPauseMs = 1000;
        timing.openRetryMs = QTest::currentTestFunction() == QByteArray("permissionsComeLate")
                                 ? Model::Timing().openRetryMs
                                 : 300;
        Model::setInitialTimingForTests(timing);
        device = "ttyOF"_q + QString::number(QCoreApplication::applicationPid());
        boxes.clear();
    }
    void cleanup()
    {
        window.reset();
        holder.kill();
        holder.waitForFinished();
        QFile::remove("/var/lock/LCK.."_q + device);
        terminal.reset();
        bed.reset();
        QFile::remove(QDate::currentDate().toString("yyyyMMdd"_q) + "_logs.txt"_q);
    }

    void causes_data()
    {
        QTest::addColumn<int>("mode");       // the node's; group dialout for 0660, else root
        QTest::addColumn<QString>("fault");  // "lock|open USER PROGRAM" (a holder), "unplug"
        QTest::addColumn<QString>("cause");  // the log line; %1 the device, %2 the holder
        QTest::addColumn<QString>("remedy"); // the sentence added to the box
        const QString denied = "l'utilisateur nobody n'a pas le droit de lire et d'écrire %1 "_q;
        const QString close =
            "Le port est utilisé par le programme %1 : fermez-le puis réessayez."_q;
        QTest::newRow("no permission, dialout may")
            << 0660 << QString() << denied + "(groupe du port : dialout)"_q
            << "Ajoutez l'utilisateur au groupe dialout puis reconnectez-vous."_q;
        QTest::newRow("no permission, no group may")
            << 0600 << QString() << denied + "(groupe du port : root)"_q
            << "Installez le paquet vardel, qui donne accès aux terminaux à l'utilisateur "
               "connecté, puis rebranchez le terminal."_q;
        QTest::newRow("lock file of a live program")
            << 0666 << "lock root cutecom"_q
            << "%1 est occupé par cutecom (processus %2)"_q << close.arg("cutecom"_q);
        QTest::newRow("held by ModemManager, unseen")
            << 0666 << "open root ModemManager"_q
            << "%1 est occupé, probablement par ModemManager (processus %2)"_q
            << "Le port est utilisé par ModemManager : attendez quelques secondes puis "
               "réessayez, ou installez le paquet vardel pour qu'il ne s'en serve plus."_q;
        QTest::newRow("held by a program of the same user")
            << 0666 << "open nobody minicom"_q
            << "%1 est occupé par minicom (processus %2)"_q << close.arg("minicom"_q);
        QTest::newRow("unplugged") << 0666 << "unplug"_q
                                   << "%1 n'existe plus, le terminal a été débranché"_q
                                   << "Le terminal a été débranché : rebranchez-le, attendez "
                                      "qu'il soit détecté puis réessayez."_q;
    }
    void causes()
    {
        QFETCH(int, mode);
        QFETCH(QString, fault);
        QFETCH(QString, cause);
        QFETCH(QString, remedy);
        if (::geteuid() != 0)
            QSKIP("needs root: to change the node and to run as another user");
        if (fault.endsWith("ModemManager"_q) &&
            QProcess::execute("pgrep"_q, {"-x"_q, "ModemManager"_q}) == 0)
            QSKIP("a ModemManager runs here, and would be presumed to hold the port");
        const QString node = windowReady(0, mode == 0660 ? ::getgrnam("dialout")->gr_gid : 0, mode);
        QVERIFY(!node.isEmpty());
        const QStringList how = fault.split(QLatin1Char(' '));
        const qint64 pid = how.size() == 3
                               ? startHolder(how[1], how[2], how[0] == "open"_q ? node : QString())
                               : 0;
        if (how[0] == "lock"_q) // what QLockFile writes: PID, program name, host
            QVERIFY(fixture::write("/var/lock/LCK.."_q + device,
                                   QByteArray::number(pid) + '\n' + how[2].toUtf8() + '\n' +
                                       QSysInfo::machineHostName().toUtf8() + "\n"));
        else if (how[0] == "unplug"_q)
            bed->remove(device.toStdString());
        {
            Unprivileged nobody;
            QTest::mouseClick(button(), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty(), 20000);
        }
        QCOMPARE(boxes, QStringList{kResult + "\n"_q + remedy});
        // The result line as ever, and the cause on the next line.
        const QString result = QString(kResult).replace(" | "_q, " - "_q) + " - [échec]\n"_q;
        QVERIFY2(log()
                     .section(result, 1)
                     .section("\n"_q, 0, 0)
                     .endsWith(kCause + cause.arg("/dev/"_q + device).arg(pid)),
                 qPrintable(log()));
    }

    // The node gets its permissions half a second after the press, as udev gives them a
    // moment after a port appears: the installation goes on.
    void permissionsComeLate()
    {
        const QString node = windowReady(::getpwnam("nobody")->pw_uid, 0, 0000);
        QVERIFY(!node.isEmpty());
        {
            Unprivileged nobody;
            QTest::mouseClick(button(), Qt::LeftButton);
            QTest::qWait(500);
            QVERIFY(::chmod(QFile::encodeName(node).constData(), 0600) == 0); // as its owner
            QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty(), 30000);
        }
        QCOMPARE(boxes, QStringList{"Installation réalisée avec succès | Le terminal a été "
                                    "correctement mis à jour."_q});
        QVERIFY(!log().contains(kCause));
    }

    // The process ID a lock file names, in the forms serial programs write.
    void lockFilePid_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("pid");
        QTest::newRow("Qt") << QByteArray("4321\ncutecom\nhost\nboot\n") << qint64(4321);
        QTest::newRow("UUCP, named") << QByteArray("      4321 minicom root\n") << qint64(4321);
        QTest::newRow("no line break") << QByteArray("4321") << qint64(4321);
        QTest::newRow("binary") << QByteArray::fromHex("e1100000") << qint64(4321);
        QTest::newRow("no number") << QByteArray("-5\n") << qint64(0);
    }
    void lockFilePid()
    {
        QFETCH(QByteArray, content);
        QTEST(PortDiagnosis::lockFilePid(content), "pid");
    }

private:
    // A terminal on a mocked port that an ordinary user may reach, the window showing it.
    // Returns the pty behind the port's node (a link to it), given this mode, and this owner
    // and group when the test runs as root; empty on failure.
    QString windowReady(uid_t owner, gid_t group, mode_t mode)
    {
        bed = std::make_unique<mockbed::Testbed>();
        Model::setFirstSearchForTests(true); // no pause before the window's first search
        sim::Behaviour behaviour;
        behaviour.setCatalogue(0x12, 0x34, 0x56); // the package's
        terminal = std::make_unique<sim::Terminal>(behaviour);
        char pty[PATH_MAX] = {};
        if (!bed->add(mockbed::Device{device.toStdString(), "Tarvenix", "Terminal_USB"}) ||
            !terminal->start(bed->masterFd(device.toStdString()), true) ||
            ::chmod(bed->root().c_str(), 0755) != 0 ||
            ::chmod((bed->root() + "/ioctl/_default").c_str(), 0777) != 0 || // umockdev's socket
            ::readlink(QFile::encodeName("/dev/"_q + device).constData(), pty, PATH_MAX - 1) <= 0 ||
            (::geteuid() == 0 && ::chown(pty, owner, group) != 0) || ::chmod(pty, mode) != 0)
            return QString();
        window = std::make_unique<MainWindow>();
        return QTest::qWaitFor([this] { return window->isVisible() && button()->isEnabled(); },
                               10000)
                   ? QFile::decodeName(pty)
                   : QString();
    }

    // A process called `name`, run as `user`, which holds `node` open exclusively (TIOCEXCL)
    // when given one.
    qint64 startHolder(const QString &user, const QString &name, const QString &node)
    {
        holder.start("setpriv"_q,
                     {"--reuid="_q + user,
                      user == "root"_q ? "--regid=root"_q : "--regid=nogroup"_q, "--clear-groups"_q,
                      "perl"_q, "-e"_q,
                      "my $f; $0 = shift; if ($ARGV[0]) { open($f, '+<', shift) or die; "
                      "ioctl($f, 0x540C, 0) or die; } $| = 1; print \"held\\n\"; sleep 60;"_q,
                      name, node});
        return holder.waitForReadyRead(5000) && holder.readLine() == "held\n" ? holder.processId()
                                                                              : 0;
    }

    static QString log()
    {
        QFile file(QDate::currentDate().toString("yyyyMMdd"_q) + "_logs.txt"_q);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QPushButton *button() const { return window->findChild<QPushButton *>("generateButton"_q); }

    QTemporaryDir work;
    QString device;
    std::unique_ptr<mockbed::Testbed> bed;
    std::unique_ptr<sim::Terminal> terminal;
    std::unique_ptr<MainWindow> window;
    QProcess holder;
    QTimer boxCloser;
    QStringList boxes;
};

QTEST_MAIN(TestOpenFailure)
#include "tst_openfailure.moc"
