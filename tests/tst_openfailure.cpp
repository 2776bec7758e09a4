// An installation whose terminal port will not open, over a mocked terminal: for each cause the
// box keeps its title and message and adds the remedy, and the log gives the cause after the
// result line. root passes every permission check and opens ports held exclusively, so the
// installation runs with this whole process made nobody (every thread), root again afterwards.
#include "config/configuration.h"
#include "link/portdiagnosis.h"
#include "mockbed.h"
#include "packagefixture.h"
#include "plainenvironment.h"
#include "simrig.h"
#include "testseam.h"
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

enum class Fault
{
    GroupOnly,
    OwnerOnly,
    QtLock,
    HeldByRoot,
    HeldBySameUser,
    Unplugged
};

// This process as nobody:nogroup until destroyed (nothing for a process that is not root).
class Unprivileged
{
public:
    Unprivileged()
    {
        const int count = ::geteuid() == 0 ? ::getgroups(0, nullptr) : -1;
        groups.resize(std::max(count, 0));
        const passwd *nobody = ::getpwnam("nobody");
        const group *nogroup = ::getgrnam("nogroup");
        dropped = count >= 0 && ::getgroups(count, groups.data()) == count && nobody && nogroup &&
                  ::setgroups(0, nullptr) == 0 &&
                  ::setresgid(nogroup->gr_gid, nogroup->gr_gid, 0) == 0 &&
                  ::setresuid(nobody->pw_uid, nobody->pw_uid, 0) == 0;
    }
    ~Unprivileged()
    {
        if (dropped && (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0 ||
                        ::setgroups(groups.size(), groups.data()) != 0))
            qFatal("cannot become root again");
        ::prctl(PR_SET_DUMPABLE, 1); // changing IDs cleared it
    }

private:
    std::vector<gid_t> groups;
    bool dropped = false;
};

} // namespace

Q_DECLARE_METATYPE(Fault)

class TestOpenFailure : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(fixture::writePackage(Configuration::directory()));
        QVERIFY(QDir::setCurrent(work.path()));
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
        TestSeam::setInitialTiming(timing);
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
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("cause");  // the log line; %1 the device, %2 the holder
        QTest::addColumn<QString>("remedy"); // the sentence added to the box
        const QString denied = "l'utilisateur nobody n'a pas le droit de lire et d'écrire %1 "_q;
        QTest::newRow("no permission, dialout may")
            << Fault::GroupOnly << denied + "(groupe du port : dialout)"_q
            << "Ajoutez l'utilisateur au groupe dialout puis reconnectez-vous."_q;
        QTest::newRow("no permission, no group may")
            << Fault::OwnerOnly << denied + "(groupe du port : root)"_q
            << "Installez le paquet vardel, qui donne accès aux terminaux à l'utilisateur "
               "connecté, puis rebranchez le terminal."_q;
        QTest::newRow("lock file of a live program")
            << Fault::QtLock << "%1 est occupé par cutecom (processus %2)"_q
            << "Le port est utilisé par le programme cutecom : fermez-le puis réessayez."_q;
        QTest::newRow("held by ModemManager, unseen")
            << Fault::HeldByRoot << "%1 est occupé, probablement par ModemManager (processus %2)"_q
            << "Le port est utilisé par ModemManager : attendez quelques secondes puis "
               "réessayez, ou installez le paquet vardel pour qu'il ne s'en serve plus."_q;
        QTest::newRow("held by a program of the same user")
            << Fault::HeldBySameUser << "%1 est occupé par minicom (processus %2)"_q
            << "Le port est utilisé par le programme minicom : fermez-le puis réessayez."_q;
        QTest::newRow("unplugged")
            << Fault::Unplugged << "%1 n'existe plus, le terminal a été débranché"_q
            << "Le terminal a été débranché : rebranchez-le, attendez "
               "qu'il soit détecté puis réessayez."_q;
    }
    void causes()
    {
        QFETCH(Fault, fault);
        QFETCH(QString, cause);
        QFETCH(QString, remedy);
        if (::geteuid() != 0)
            QSKIP("needs root: to change the node and to run as another user");
        QProcess pgrep;
        pgrep.setProcessEnvironment(plainEnvironment());
        pgrep.start("pgrep"_q, {"-x"_q, "ModemManager"_q});
        if (fault == Fault::HeldByRoot && pgrep.waitForFinished() && pgrep.exitCode() == 0)
            QSKIP("a ModemManager runs here, and would be presumed to hold the port");
        QVERIFY(windowReady());
        const QString node = ptyOf(device);
        const gid_t dialout = ::getgrnam("dialout")->gr_gid;
        QVERIFY(setNode(node, 0, fault == Fault::GroupOnly ? dialout : 0,
                        fault == Fault::GroupOnly   ? 0660
                        : fault == Fault::OwnerOnly ? 0600
                                                    : 0666));
        qint64 pid = 0;
        if (fault == Fault::QtLock) {
            pid = startHolder("cutecom"_q);
            // What QLockFile writes: PID, program name, host.
            QVERIFY(fixture::write("/var/lock/LCK.."_q + device,
                                   QByteArray::number(pid) + "\ncutecom\n" +
                                       QSysInfo::machineHostName().toUtf8() + "\n"));
        } else if (fault == Fault::HeldByRoot || fault == Fault::HeldBySameUser) {
            const bool root = fault == Fault::HeldByRoot;
            pid = startHolder(root ? "ModemManager"_q : "minicom"_q, node, root);
        } else if (fault == Fault::Unplugged) {
            bed->remove(device.toStdString());
        }
        QVERIFY(pid > 0 || cause.count("%2"_q) == 0);
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
        QVERIFY(windowReady());
        const QString node = ptyOf(device);
        QVERIFY(::geteuid() != 0 || setNode(node, ::getpwnam("nobody")->pw_uid, 0, 0600));
        QVERIFY(::chmod(QFile::encodeName(node).constData(), 0000) == 0);
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
        QFETCH(qint64, pid);
        QCOMPARE(PortDiagnosis::lockFilePid(content), pid);
    }

private:
    // A terminal on a mocked port that an ordinary user may reach, the window showing it.
    bool windowReady()
    {
        bed = std::make_unique<mockbed::Testbed>();
        TestSeam::setFirstSearch(true); // no pause before the window's first search
        sim::Behaviour behaviour;
        behaviour.setCatalogue(0x12, 0x34, 0x56); // the package's
        terminal = std::make_unique<sim::Terminal>(behaviour);
        if (!bed->add(mockbed::Device{device.toStdString(), "Tarvenix", "Terminal_USB"}) ||
            !terminal->start(bed->masterFd(device.toStdString()), true) ||
            ::chmod(bed->root().c_str(), 0755) != 0 ||
            ::chmod((bed->root() + "/ioctl/_default").c_str(), 0777) != 0) // umockdev's socket
            return false;
        window = std::make_unique<MainWindow>();
        return QTest::qWaitFor([this] { return window->isVisible() && button()->isEnabled(); },
                               10000);
    }

    // The pty behind a mocked device's node (a link to it).
    static QString ptyOf(const QString &name)
    {
        char target[PATH_MAX] = {};
        return ::readlink(QFile::encodeName("/dev/"_q + name).constData(), target,
                          sizeof target - 1) > 0
                   ? QFile::decodeName(target)
                   : QString();
    }
    static bool setNode(const QString &node, uid_t owner, gid_t group, mode_t mode)
    {
        const QByteArray path = QFile::encodeName(node);
        return ::chown(path.constData(), owner, group) == 0 && ::chmod(path.constData(), mode) == 0;
    }

    // A process called `name`, which holds `node` open exclusively (TIOCEXCL) when given one.
    // It opens the pty itself, without umockdev in between.
    qint64 startHolder(const QString &name, const QString &node = QString(), bool root = true)
    {
        QStringList command{"perl"_q, "-e"_q,
                            "my $f; $0 = shift; if (@ARGV) { open($f, '+<', shift) or die; "
                            "ioctl($f, 0x540C, 0) or die; } $| = 1; print \"held\\n\"; sleep 60;"_q,
                            name, node};
        if (!root)
            command = QStringList{"setpriv"_q, "--reuid=nobody"_q, "--regid=nogroup"_q,
                                  "--clear-groups"_q, "--"_q} +
                      command;
        if (node.isEmpty())
            command.removeLast();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("LD_PRELOAD"_q);
        holder.setProcessEnvironment(environment);
        holder.start(command.takeFirst(), command);
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
