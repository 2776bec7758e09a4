// An installation whose terminal port will not open, over a mocked terminal: for each cause the
// result box keeps its title and message and adds the remedy, and the log gives the cause after
// the result line. A port that gets its permissions a moment late is still used.
//
// root passes every permission check and opens any port, even one held exclusively, so the
// cases that need an ordinary user make this whole process nobody for the installation (real,
// effective and saved IDs, on every thread), and root again afterwards.
#include "config/configuration.h"
#include "link/portdiagnosis.h"
#include "mockbed.h"
#include "model/model.h"
#include "packagefixture.h"
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

const QString kTitle = "Erreur ouverture"_q;
const QString kMessage = "Le terminal sélectionné n'est pas disponible.\nVeuillez fermer toutes "
                         "les applications et réessayer ou contacter le support."_q;
const QString kCause = "Cause de l'échec d'ouverture : "_q;

// What stands between the installation and the port.
enum class Fault
{
    GroupOnly,         // rw for root and the dialout group only
    OwnerOnly,         // rw for root only
    QtLock,            // a Qt program's lock file, of a live process
    ExclusiveRoot,     // opened exclusively (TIOCEXCL) by a process of root
    ExclusiveSameUser, // opened exclusively by a process of the same user
    Unplugged,         // the device removed
};

// This process as nobody:nogroup, until destroyed; nothing for a process that is not root.
class Unprivileged
{
public:
    Unprivileged()
    {
        if (::geteuid() != 0)
            return;
        const int count = ::getgroups(0, nullptr);
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
        if (!dropped)
            return;
        if (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0 ||
            ::setgroups(groups.size(), groups.data()) != 0)
            qFatal("cannot become root again");
        ::prctl(PR_SET_DUMPABLE, 1); // changing IDs cleared it
    }
    bool ok() const { return dropped || ::geteuid() != 0; }

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
        QApplication::setQuitOnLastWindowClosed(false);
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
        // every open of a mocked node that fails as busy, and gives up after a few dozen.
        Model::Timing timing = SimRig::fastTiming();
        timing.searchPauseMs = 1000;
        timing.openRetryMs = QTest::currentTestFunction() == QByteArray("permissionsComeLate")
                                 ? Model::Timing().openRetryMs
                                 : 300;
        TestSeam::setInitialTiming(timing);
        bed = std::make_unique<mockbed::Testbed>();
        // An ordinary user must reach the mocked devices.
        QVERIFY(::chmod(bed->root().c_str(), 0755) == 0);
        device = "ttyOF"_q + QString::number(QCoreApplication::applicationPid());
        boxes.clear();
    }
    void cleanup()
    {
        window.reset();
        for (QProcess *process : {&holder, &sleeper}) {
            process->kill();
            process->waitForFinished();
        }
        QFile::remove(lockFile());
        terminal.reset();
        bed.reset();
        QFile::remove(logName());
    }

    void causes_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<QString>("cause");  // the log line, %1 for the device, %2 the holder
        QTest::addColumn<QString>("remedy"); // the sentence added to the box
        const QString closeIt = " : fermez-le puis réessayez."_q;
        QTest::newRow("no permission, the dialout group may")
            << Fault::GroupOnly
            << "l'utilisateur nobody n'a pas le droit de lire et d'écrire %1 (groupe du port : "
               "dialout)"_q
            << "Ajoutez l'utilisateur au groupe dialout puis reconnectez-vous."_q;
        QTest::newRow("no permission, no group may")
            << Fault::OwnerOnly
            << "l'utilisateur nobody n'a pas le droit de lire et d'écrire %1 (groupe du port : "
               "root)"_q
            << "Installez le paquet vardel, qui donne accès aux terminaux à l'utilisateur "
               "connecté, puis rebranchez le terminal."_q;
        QTest::newRow("lock file of a live program")
            << Fault::QtLock << "%1 est occupé par cutecom (processus %2)"_q
            << "Le port est utilisé par le programme cutecom"_q + closeIt;
        QTest::newRow("held by ModemManager")
            << Fault::ExclusiveRoot
            << "%1 est occupé, probablement par ModemManager (processus %2)"_q
            << "Le port est utilisé par ModemManager : attendez quelques secondes puis "
               "réessayez, ou installez le paquet vardel pour qu'il ne s'en serve plus."_q;
        QTest::newRow("held by a program of the same user")
            << Fault::ExclusiveSameUser << "%1 est occupé par minicom (processus %2)"_q
            << "Le port est utilisé par le programme minicom"_q + closeIt;
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
        QVERIFY(windowReady());
        const QString node = ptyOf(device);
        qint64 holderPid = 0;
        switch (fault) {
        case Fault::GroupOnly:
            QVERIFY(setNode(node, 0, ::getgrnam("dialout")->gr_gid, 0660));
            break;
        case Fault::OwnerOnly:
            QVERIFY(setNode(node, 0, 0, 0600));
            break;
        case Fault::QtLock:
            QVERIFY(setNode(node, 0, 0, 0666));
            holderPid = startNamedSleep("cutecom"_q);
            QVERIFY(holderPid > 0);
            // What QLockFile writes: its PID, program name and host.
            QVERIFY(fixture::write(lockFile(), QByteArray::number(holderPid) + "\ncutecom\n" +
                                                   QSysInfo::machineHostName().toUtf8() + "\n"));
            break;
        case Fault::ExclusiveRoot:
        case Fault::ExclusiveSameUser: {
            if (modemManagerRunning())
                QSKIP("a ModemManager runs here: it would be named as the likely holder");
            const bool root = fault == Fault::ExclusiveRoot;
            QVERIFY(setNode(node, 0, 0, 0666));
            holderPid = startExclusiveHolder(root ? "ModemManager"_q : "minicom"_q, node, root);
            QVERIFY(holderPid > 0);
            break;
        }
        case Fault::Unplugged:
            bed->remove(device.toStdString());
            break;
        }
        {
            Unprivileged nobody;
            QVERIFY(nobody.ok());
            QTest::mouseClick(button(), Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty(), 20000);
        }
        QCOMPARE(boxes, QStringList{kTitle + " | "_q + kMessage + "\n"_q + remedy});
        // The result line as ever, then the cause.
        const QString causeLine = kCause + cause.arg("/dev/"_q + device).arg(holderPid);
        QVERIFY2(log().contains("== "_q + kTitle + " - "_q + kMessage + " - [échec]\n== "_q),
                 qPrintable(log()));
        QVERIFY2(log().section(" - [échec]\n"_q, 1).section("\n"_q, 0, 0).endsWith(causeLine),
                 qPrintable(log()));
        QVERIFY(window->getModel()->takeOpenFailure().logLine.isEmpty()); // told once
    }

    // The node gets its permissions half a second after the press, as udev gives them a
    // moment after a port appears: the installation goes on.
    void permissionsComeLate()
    {
        QVERIFY(windowReady());
        const QString node = ptyOf(device);
        const passwd *nobody = ::getpwnam("nobody");
        if (::geteuid() == 0)
            QVERIFY(setNode(node, nobody->pw_uid, 0, 0000));
        else
            QVERIFY(::chmod(QFile::encodeName(node).constData(), 0000) == 0);
        {
            Unprivileged user;
            QVERIFY(user.ok());
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
        QTest::newRow("UUCP") << QByteArray("      4321\n") << qint64(4321);
        QTest::newRow("UUCP with name") << QByteArray("      4321 minicom root\n") << qint64(4321);
        QTest::newRow("no line break") << QByteArray("4321") << qint64(4321);
        QTest::newRow("binary") << QByteArray::fromHex("e1100000") << qint64(4321);
        QTest::newRow("negative") << QByteArray("-5\n") << qint64(0);
        QTest::newRow("empty") << QByteArray() << qint64(0);
        QTest::newRow("text") << QByteArray("locked\n") << qint64(0);
    }
    void lockFilePid()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, pid);
        QCOMPARE(PortDiagnosis::lockFilePid(content), pid);
    }

private:
    // A terminal on the mocked port, the window built, the terminal listed, start enabled.
    bool windowReady()
    {
        TestSeam::setFirstSearch(true); // no pause before the window's first search
        sim::Behaviour behaviour;
        behaviour.setCatalogue(0x12, 0x34, 0x56); // the package's
        terminal = std::make_unique<sim::Terminal>(behaviour);
        if (!bed->add(mockbed::Device{device.toStdString(), "Tarvenix", "Terminal_USB"}) ||
            !terminal->start(bed->masterFd(device.toStdString()), true))
            return false;
        // An ordinary user's process must reach umockdev's socket to use the mocked device.
        QDirIterator sockets(QString::fromStdString(bed->root()) + "/ioctl"_q, QDir::System);
        while (sockets.hasNext())
            if (::chmod(QFile::encodeName(sockets.next()).constData(), 0777) != 0)
                return false;
        window = std::make_unique<MainWindow>();
        return QTest::qWaitFor([this] { return window->isVisible() && button()->isEnabled(); },
                               10000);
    }

    // The pty behind a mocked device's node (a link to it).
    static QString ptyOf(const QString &name)
    {
        char target[PATH_MAX] = {};
        const QByteArray node = QFile::encodeName("/dev/"_q + name);
        return ::readlink(node.constData(), target, sizeof target - 1) > 0
                   ? QFile::decodeName(target)
                   : QString();
    }

    static bool setNode(const QString &node, uid_t owner, gid_t group, mode_t mode)
    {
        const QByteArray path = QFile::encodeName(node);
        return ::chown(path.constData(), owner, group) == 0 && ::chmod(path.constData(), mode) == 0;
    }

    // A process whose program is called `name` (a copy of sleep), for a lock file to name.
    qint64 startNamedSleep(const QString &name)
    {
        const QString program = work.filePath(name);
        QFile::remove(program);
        if (!QFile::copy("/bin/sleep"_q, program))
            return 0;
        sleeper.start(program, {"60"_q});
        return sleeper.waitForStarted() ? sleeper.processId() : 0;
    }

    // A process called `name` that holds the node open exclusively, as root or as nobody.
    qint64 startExclusiveHolder(const QString &name, const QString &node, bool root)
    {
        const QString script = "$0 = shift; open(my $f, '+<', shift) or die; "
                               "ioctl($f, 0x540C, 0) or die; $| = 1; print \"held\\n\"; "
                               "sleep 60;"_q; // 0x540C: TIOCEXCL
        QStringList arguments{"perl"_q, "-e"_q, script, name, node};
        if (!root)
            arguments =
                QStringList{"--reuid=nobody"_q, "--regid=nogroup"_q, "--clear-groups"_q, "--"_q} +
                arguments;
        // It opens the pty itself, without umockdev in between.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove("LD_PRELOAD"_q);
        holder.setProcessEnvironment(environment);
        holder.start(root ? "env"_q : "setpriv"_q, arguments);
        if (!holder.waitForReadyRead(5000) || holder.readLine() != "held\n")
            return 0;
        return holder.processId();
    }

    static bool modemManagerRunning()
    {
        const QStringList pids = QDir("/proc"_q).entryList(QDir::Dirs);
        for (const QString &pid : pids) {
            QFile comm("/proc/"_q + pid + "/comm"_q);
            if (comm.open(QIODevice::ReadOnly) && comm.readLine().trimmed() == "ModemManager")
                return true;
        }
        return false;
    }

    QString lockFile() const { return "/var/lock/LCK.."_q + device; }
    static QString logName() { return QDate::currentDate().toString("yyyyMMdd"_q) + "_logs.txt"_q; }
    static QString log()
    {
        QFile file(logName());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QPushButton *button() const { return window->findChild<QPushButton *>("generateButton"_q); }

    QTemporaryDir work;
    QString device;
    std::unique_ptr<mockbed::Testbed> bed;
    std::unique_ptr<sim::Terminal> terminal;
    std::unique_ptr<MainWindow> window;
    QProcess holder;
    QProcess sleeper;
    QTimer boxCloser;
    QStringList boxes;
};

QTEST_MAIN(TestOpenFailure)
#include "tst_openfailure.moc"
