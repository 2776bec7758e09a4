// The station's live display, without a terminal: which lines a drawing of a given height holds.
#include "progressview.h"
#include "replies.h"

#include <QTest>

namespace {

// A terminal by its serial number, in a state: R running, W waiting, U updated, D already up
// to date, V installed but to be checked, F failed.
JobView row(const QString &serial, char state)
{
    JobView view;
    view.port = "ttyACM"_q + serial;
    view.serialNumber = serial;
    view.state = state == 'R'   ? JobView::State::Running
                 : state == 'W' ? JobView::State::Waiting
                                : JobView::State::Done;
    view.success = state == 'U' || state == 'D';
    view.upToDate = state == 'D';
    view.unverified = state == 'V';
    view.stage = state == 'R' ? "initialisation"_q : state == 'U' ? "mis à jour"_q : "Erreur"_q;
    return view;
}

} // namespace

class TestStationDisplay : public QObject
{
    Q_OBJECT

private slots:
    // Every terminal while they fit under the header (and the status and counts lines);
    // otherwise the counts and as many as fit, running ones first, then waiting, failed and
    // updated ones, in their order; never more lines than the height less one.
    void layout_data()
    {
        QTest::addColumn<QString>("states"); // one letter per terminal, its serial its position
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("height");
        QTest::addColumn<QString>("counts"); // the status and counts lines, empty when none
        QTest::addColumn<QString>("shown");  // the terminals shown, by position, in order
        const QString mixed =
            "en attente : 1   en cours : 2   mis à jour : 2   à vérifier : 0   en échec : 1"_q;
        QTest::newRow("all fit") << "UFR"_q << QString() << 24 << QString() << "012"_q;
        QTest::newRow("exactly fit") << "UFRW"_q << QString() << 6 << QString() << "0123"_q;
        QTest::newRow("one too many") << "UFRWRU"_q << QString() << 7 << mixed << "2431"_q;
        QTest::newRow("few rows") << "UFRWRU"_q << QString() << 5 << mixed << "24"_q;
        QTest::newRow("to check before updated")
            << "UVRU"_q << QString() << 5
            << "en attente : 0   en cours : 1   mis à jour : 2   à vérifier : 1   en échec : 0"_q
            << "21"_q;
        QTest::newRow("header only") << "UFRWRU"_q << QString() << 3 << mixed << QString();
        // Counted apart: the counts then take two lines, each within 80 columns.
        QTest::newRow("already up to date")
            << "DUFRWRD"_q << QString() << 7
            << "en attente : 1   en cours : 2\nmis à jour : 1   déjà à jour : 2   à vérifier : 0   "
               "en échec : 1"_q
            << "354"_q;
        const QString watching = "Mode atelier, Ctrl-C pour terminer"_q;
        QTest::newRow("status, all fit")
            << "UR"_q << watching << 24
            << watching + "\nen attente : 0   en cours : 1   mis à jour : 1   à vérifier : 0   "
                          "en échec : 0"_q
            << "01"_q;
        QTest::newRow("status, too many")
            << "UFRWRU"_q << watching << 6 << watching + "\n"_q + mixed << "24"_q;
    }
    void layout()
    {
        QFETCH(QString, states);
        QFETCH(QString, status);
        QFETCH(int, height);
        QFETCH(QString, counts);
        QFETCH(QString, shown);
        QList<JobView> rows;
        for (int k = 0; k < states.size(); ++k)
            rows << row(QString::number(k), states.at(k).toLatin1());
        ProgressView view(false);
        view.setStatus(status);
        const QStringList lines = view.layout(rows, height);
        QVERIFY(lines.size() <= height - 1);
        QVERIFY(lines.first().startsWith("Port"_q));
        QStringList rest = lines.mid(1);
        // The status and the counts, each whole on a line that an 80-column terminal shows.
        for (const QString &expected : counts.split("\n"_q, Qt::SkipEmptyParts)) {
            QVERIFY(!rest.isEmpty());
            QCOMPARE(rest.first(), expected);
            QVERIFY2(rest.takeFirst().size() <= 80, qPrintable(expected));
        }
        QString order;
        for (const QString &line : rest)
            order += line.mid(QStringLiteral("ttyACM").size(), 1);
        QCOMPARE(order, shown);
    }
};

QTEST_GUILESS_MAIN(TestStationDisplay)
#include "tst_stationdisplay.moc"
