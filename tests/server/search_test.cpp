#include "server_fixture.h"

#include "server/files/name_walk.h"
#include "server/site/access.h"
#include "server/site/search_api.h"
#include "server/work/search_gate.h"
#include "server/work/work_pool.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace server_testing;

namespace {

// `folders` folders of `files` files each, "f<i>/file-<j>.dat": hard links to one empty file beside the
// root, as creating thousands of files one by one takes seconds on some file systems.
void generateTree(const QString& root, int folders, int files) {
    const QByteArray original = QFile::encodeName(root + ".original");
    ::close(::open(original.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    for (int i = 0; i < folders; ++i) {
        const QString folder = root + "/f" + QString::number(i);
        ASSERT_TRUE(QDir().mkpath(folder));
        for (int j = 0; j < files; ++j) {
            const QString name = folder + "/file-" + QString::number(j) + ".dat";
            ASSERT_EQ(::link(original.constData(), QFile::encodeName(name).constData()), 0);
        }
    }
}

int sendSearch(int port, const QString& target, const QByteArray& client) {
    const int socket = connectTo(port);
    sendAll(socket, "GET " + QUrl::toPercentEncoding(target, "/?=&") + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                        "Cf-Connecting-Ip: " + client + "\r\n\r\n");
    return socket;
}

class SearchShare : public ServedFolder {
protected:
    void SetUp() override { root = folder.path() + "/docs"; }

    void serveShares(const QuarryShareWebServer::Options& options = {}) {
        snapshot.shares = {makeShare({.slug = "docs", .path = root}),
                           makeShare({.slug = "off", .path = root, .enabled = false}),
                           makeShare({.slug = "vault", .path = root, .password = "pw"})};
        serve(options);
    }

    QJsonObject search(const QString& query) {
        const Reply reply = get(port(), "/__search/docs?q=" + QUrl::toPercentEncoding(query));
        EXPECT_EQ(reply.status, 200) << query.toStdString();
        return jsonOf(reply);
    }

    QString root;
};

} // namespace

TEST_F(SearchShare, FindsNamesHoldingEveryWordWhateverTheirCaseOrNormalisationForm) {
    const QString composed = QString::fromUtf8("Caf\u00e9 menu.pdf");
    const QString decomposed = QString::fromUtf8("cafe\u0301 bar.txt");
    for (const char* path : {"Holiday Photos 2024.zip", "trips/holiday-notes.txt", "trips/PHOTOS/beach.jpg",
                             "a/notes.txt", "b/notes.txt", "cafe plain.txt"})
        writeFile(root + "/" + QString::fromUtf8(path), "x");
    writeFile(root + "/" + composed, "abc");
    writeFile(root + "/trips/" + decomposed, "x");
    QDir().mkpath(root + "/notes");
    serveShares();

    const Reply reply = get(port(), "/__search/docs?q=photos%20HOLIDAY");
    EXPECT_EQ(reply.headerNames(), kPageHeaders);
    EXPECT_EQ(reply.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(pathsOf(jsonOf(reply)), QStringList{"Holiday Photos 2024.zip"});
    EXPECT_EQ(jsonOf(reply).value("query").toString(), "photos HOLIDAY");
    EXPECT_EQ(jsonOf(reply).value("truncated"), QJsonValue(false));
    EXPECT_EQ(jsonOf(reply).value("searchedEntries").toInt(), 13);
    EXPECT_EQ(pathsOf(search("holiday")),
              (QStringList{"Holiday Photos 2024.zip", "trips/holiday-notes.txt"}));
    // Folders first, then by name, then by path.
    EXPECT_EQ(pathsOf(search("notes")),
              (QStringList{"notes", "trips/holiday-notes.txt", "a/notes.txt", "b/notes.txt"}));

    // Composed and decomposed names answer a query written either way; a bare "e" is not an "é".
    const QStringList bothCafes{"trips/" + decomposed, composed};
    EXPECT_EQ(namesOf(search(QString::fromUtf8("CAF\u00c9"))), (QStringList{decomposed, composed}));
    EXPECT_EQ(namesOf(search(QString::fromUtf8("cafe\u0301"))), (QStringList{decomposed, composed}));
    EXPECT_EQ(pathsOf(search("cafe")), QStringList{"cafe plain.txt"});

    // An item has exactly the shape it has in its folder's listing.
    const QJsonArray listed = jsonOf(get(port(), "/__browse/docs?path=")).value("items").toArray();
    const QJsonObject found = search("menu").value("items").toArray().at(0).toObject();
    EXPECT_TRUE(listed.contains(found)) << QJsonDocument(found).toJson().toStdString();
    EXPECT_EQ(found.value("size").toInt(), 3);

    // No words, no search.
    for (const char* empty : {"", "  \t "}) {
        const QJsonObject answer = search(empty);
        EXPECT_EQ(answer.value("items").toArray().size(), 0);
        EXPECT_EQ(answer.value("searchedEntries").toInt(), 0);
    }
    EXPECT_EQ(jsonOf(get(port(), "/__search/docs")).value("items").toArray().size(), 0);

    // Each word is looked for in every name: a query is held to a hundred of them. A word longer than
    // any name can hold needs no walk at all.
    QStringList words;
    for (int word = 0; word < 101; ++word)
        words << "w" + QString::number(word);
    EXPECT_EQ(search(words.mid(1).join(' ')).value("items").toArray().size(), 0);
    const Reply tooMany = get(port(), "/__search/docs?q=" + QUrl::toPercentEncoding(words.join(' ')));
    EXPECT_EQ(tooMany.status, 400);
    EXPECT_EQ(tooMany.body, R"({"error":"Too many words"})");
    EXPECT_EQ(search(QString(2000, 'x')).value("searchedEntries").toInt(), 0);
}

TEST_F(SearchShare, NeverShowsHiddenEntriesOrWhatLinksLeadingOutReachAndEndsLinkLoops) {
    for (const char* path : {"report.txt", ".report-hidden.txt", ".git/report.txt", "2024/.cache/report.txt",
                             "2024/trips/report-trip.txt", "2024/trips/Alps/report-alps.txt"})
        writeFile(root + "/" + path, "r");
    writeFile(folder.path() + "/outside/report-outside.txt", "secret");
    QFile::link(folder.path() + "/outside", root + "/away");
    QFile::link(folder.path() + "/outside/report-outside.txt", root + "/report-away.txt");
    QFile::link("../../outside", root + "/2024/report-escape");
    QFile::link("2024/trips", root + "/trips-link");
    QFile::link("../..", root + "/2024/trips/loop");
    QFile::link(".", root + "/2024/trips/Alps/report-here");
    QFile::link("report.txt", root + "/report-link.txt");
    QFile::link("missing", root + "/report-dangling");
    serveShares();

    const QJsonObject answer = search("report");
    // Links inside count where they lead, under their own names; each folder is read once.
    EXPECT_EQ(namesOf(answer), (QStringList{"report-here", "report-alps.txt", "report-dangling",
                                            "report-link.txt", "report-trip.txt", "report.txt"}));
    EXPECT_EQ(pathsOf(answer), (QStringList{"2024/trips/Alps", "2024/trips/Alps/report-alps.txt", "missing",
                                            "report.txt", "2024/trips/report-trip.txt", "report.txt"}));
    EXPECT_EQ(answer.value("truncated"), QJsonValue(false));
    EXPECT_TRUE(search("outside").value("items").toArray().isEmpty());
    EXPECT_TRUE(search("away").value("items").toArray().isEmpty());

    // A folder 64 levels down is found but not entered.
    QString deep = root;
    for (int level = 1; level <= 66; ++level) {
        deep += "/deep-" + QString::number(level);
        writeFile(deep + "/in-" + QString::number(level) + ".txt", "d");
    }
    const QStringList found = namesOf(search("-6"));
    EXPECT_TRUE(found.contains("in-63.txt") && found.contains("deep-64")) << found.join(' ').toStdString();
    EXPECT_FALSE(found.contains("in-64.txt") || found.contains("deep-65")) << found.join(' ').toStdString();
}

TEST_F(SearchShare, StopsAtFiveHundredItemsOrWhenItsTimeIsUp) {
    generateTree(root, 200, 100);
    serveShares();
    const QJsonObject capped = search("file");
    EXPECT_EQ(capped.value("items").toArray().size(), 500);
    EXPECT_EQ(capped.value("truncated"), QJsonValue(true));
    const QJsonObject whole = search("file-7.");
    EXPECT_EQ(whole.value("items").toArray().size(), 200);
    EXPECT_EQ(whole.value("truncated"), QJsonValue(false));
    EXPECT_EQ(whole.value("searchedEntries").toInt(), 20200);

    // Twenty thousand entries take longer than a millisecond to read: the answer is what was found.
    QuarryShareWebServer::Options hurried;
    hurried.search.walkTime = std::chrono::milliseconds(1);
    serveShares(hurried);
    const QJsonObject cut = search("file-7.");
    EXPECT_EQ(cut.value("truncated"), QJsonValue(true));
    EXPECT_LT(cut.value("searchedEntries").toInt(), 20200);
    EXPECT_LT(cut.value("items").toArray().size(), 200);
}

TEST_F(SearchShare, AnswersLockedUnknownAndDisabledSharesAsTheListingDoes) {
    writeFile(root + "/secret.txt", "s");
    serveShares();
    for (const QString slug : {"vault", "off", "nowhere"}) {
        const Reply listing = get(port(), "/__browse/" + slug + "?path=");
        const Reply found = get(port(), "/__search/" + slug + "?q=secret");
        EXPECT_EQ(found.status, listing.status) << slug.toStdString();
        EXPECT_EQ(found.headers, listing.headers);
        EXPECT_EQ(found.body, listing.body);
    }
    EXPECT_EQ(get(port(), "/__search/vault?q=secret").status, 401);
    const QByteArray cookie =
        "cookie: blnshare_vault=" + QuarrySite::authCookieValue(snapshot.shares.at(2)).toUtf8() + "\r\n";
    EXPECT_EQ(pathsOf(jsonOf(get(port(), "/__search/vault?q=secret", cookie))), QStringList{"secret.txt"});
}

TEST_F(SearchShare, TakesTurnsWithoutHoldingUpListingsOrWaitingForVisitorsWhoLeft) {
    generateTree(root, 200, 100);
    serveShares();
    const int total = 200 * 101;

    // Visitors searching at once wait their turns; a listing meanwhile is answered straight away.
    QList<int> searches;
    for (int visitor = 1; visitor <= 4; ++visitor)
        searches << sendSearch(port(), "/__search/docs?q=nothing-here",
                               "192.0.2." + QByteArray::number(visitor));
    EXPECT_EQ(get(port(), "/__browse/docs?path=f7").status, 200);
    EXPECT_FALSE(hasAnswered(searches.last())) << "the listing came after the searches";
    // Meanwhile a visitor's two searches, from two addresses of its /64, read in reverse order: the one
    // its page numbered last is answered whole, the other as stopped at once.
    const int newer = sendSearch(port(), "/__search/docs?q=nothing-at-all&n=8", "2001:db8:1:2::9");
    testing_support::spin(std::chrono::milliseconds(100));
    // Once the newer is in the gate, the older is stopped at once; if the newer was answered before the
    // older arrived, the older is answered whole, which the page, counting its searches, never shows.
    const bool newerWaited = !hasAnswered(newer);
    const QJsonObject older =
        jsonOf(answerOf(sendSearch(port(), "/__search/docs?q=nothing&n=7", "2001:db8:1:2::a")));
    if (newerWaited && !hasAnswered(newer)) {
        EXPECT_EQ(older.value("stopped"), QJsonValue(true));
        EXPECT_EQ(older.value("searchedEntries"), 0);
    }
    searches << newer;
    for (const int socket : searches) {
        const QJsonObject answer = jsonOf(answerOf(socket));
        EXPECT_EQ(answer.value("truncated"), QJsonValue(false));
        EXPECT_EQ(answer.value("searchedEntries").toInt(), total);
    }

    // Visitors who leave, one while its search waits and one while it walks, hold up nobody after them;
    // a hundred who close right after asking, whatever the server reads first, cost next to no walk.
    const int walking = sendSearch(port(), "/__search/docs?q=nothing-here", "192.0.2.20");
    const int waiting = sendSearch(port(), "/__search/docs?q=nothing-here", "192.0.2.21");
    ::close(waiting);
    ::close(walking);
    const qint64 walksBefore = QuarryNameWalk::walksBegun();
    for (int visitor = 1; visitor <= 100; ++visitor)
        ::close(
            sendSearch(port(), "/__search/docs?q=nothing-here", "198.51.100." + QByteArray::number(visitor)));
    EXPECT_EQ(
        jsonOf(answerOf(sendSearch(port(), "/__search/docs?q=no", "192.0.2.22"))).value("searchedEntries"),
        total);
    EXPECT_LT(QuarryNameWalk::walksBegun() - walksBefore, 10);
}

namespace {

// A search at the gate whose walk the test plays out, as the pool's job would: it begins with its turn,
// ends its walk (stopped when a newer search came meanwhile), answers, and gives its turn up, each when
// the test says so.
struct PlayedSearch {
    struct Walk : QuarryHTTPDeferredResponse {
        explicit Walk(PlayedSearch* played)
            : owner(played) {}
        void start(std::function<void(HTTPResponse)> done) override { owner->deliver = std::move(done); }
        PlayedSearch* owner;
    };

    void admit(QuarrySearchGate& gate, const QString& key) {
        atGate = gate.admit(key, [this](QuarrySearchGate::Turn given, QuarrySearchGate::Superseded flag) {
            begun = true;
            turn = std::move(given);
            superseded = std::move(flag);
            if (superseded->load()) // stopped before it began: it walks nothing
                return HTTPResponse::jsonData("stopped");
            return HTTPResponse::later(std::make_shared<Walk>(this));
        });
        atGate.deferred->start([this](HTTPResponse response) { answer = response.body; });
    }
    void endWalk() { result = superseded->load() ? "stopped" : "whole"; }
    void answerVisitor() { deliver(HTTPResponse::jsonData(result)); }

    HTTPResponse atGate; // held as the connection holds it
    bool begun = false;
    QuarrySearchGate::Turn turn;
    QuarrySearchGate::Superseded superseded;
    QByteArray result;
    std::function<void(HTTPResponse)> deliver;
    QByteArray answer; // what the visitor got
};

void settle() {
    for (int round = 0; round < 3; ++round)
        QCoreApplication::processEvents();
}

} // namespace

TEST(SearchGate, AVisitorsNewestSearchIsNeverTheOneStoppedWhateverMomentItArrivesAt) {
    enum Moment { OlderWaitsItsTurn, OlderWalks, OlderWalkEnded, OlderAnswered, OlderGone };
    const struct {
        Moment moment;
        QByteArray olderAnswer;
    } cases[] = {{OlderWaitsItsTurn, "stopped"},
                 {OlderWalks, "stopped"},
                 {OlderWalkEnded, "whole"},
                 {OlderAnswered, "whole"},
                 {OlderGone, "whole"}};
    const QString key = "192.0.2.9\nshare";
    for (const auto& [moment, olderAnswer] : cases) {
        SCOPED_TRACE(int(moment));
        QuarrySearchGate gate(1);
        PlayedSearch other, older, newer;
        if (moment == OlderWaitsItsTurn)
            other.admit(gate, "192.0.2.10\nshare"); // holds the only turn
        older.admit(gate, key);
        settle();
        ASSERT_EQ(older.begun, moment != OlderWaitsItsTurn);
        if (moment >= OlderWalkEnded)
            older.endWalk();
        if (moment >= OlderAnswered)
            older.answerVisitor();
        if (moment == OlderGone) {
            older.turn.reset();
            older.atGate = HTTPResponse();
        }

        newer.admit(gate, key);
        settle();
        // One walk at a time per visitor and share: the newer begins once the older's turn is given up.
        EXPECT_EQ(newer.begun, moment == OlderGone);
        if (moment == OlderWaitsItsTurn) {
            other.endWalk();
            other.answerVisitor();
            other.turn.reset();
        } else if (moment != OlderGone) {
            if (moment == OlderWalks)
                older.endWalk();
            if (moment <= OlderWalkEnded)
                older.answerVisitor();
            older.turn.reset();
        }
        settle();
        ASSERT_TRUE(newer.begun);
        EXPECT_FALSE(newer.superseded->load());
        newer.endWalk();
        newer.answerVisitor();
        EXPECT_EQ(newer.answer, "whole");
        EXPECT_EQ(older.answer, olderAnswer);
    }
}

TEST(SearchGate, TheVisitorWhoHadATurnLongestAgoGoesFirst) {
    QuarrySearchGate gate(1);
    PlayedSearch a, b, aAgain, c;
    a.admit(gate, "a");
    b.admit(gate, "b");
    settle();
    a.turn.reset();
    settle();
    aAgain.admit(gate, "a");
    c.admit(gate, "c");
    b.turn.reset();
    settle();
    // c never had a turn: it goes before a, who came first.
    EXPECT_TRUE(c.begun);
    EXPECT_FALSE(aAgain.begun);
}

TEST(NameWalk, NeverReadsAFolderSwappedForALinkLeadingOutWhileTheWalkRuns) {
    QTemporaryDir folder;
    const QString root = folder.path() + "/share";
    writeFile(root + "/2024/report-inside.txt", "i");
    writeFile(folder.path() + "/outside/report-outside.txt", "secret");
    // The walk asks whether to stop before each folder: after the share's own folder, "2024" becomes a
    // link to the outside folder, after the walk saw it as a folder.
    int asked = 0;
    const auto swapAfterTheRoot = [&] {
        if (++asked == 2) {
            EXPECT_TRUE(QDir().rename(root + "/2024", folder.path() + "/moved"));
            EXPECT_TRUE(QFile::link(folder.path() + "/outside", root + "/2024"));
        }
        return false;
    };
    const QuarryNameWalk::Outcome outcome =
        QuarryNameWalk::walk(root, QuarryNameMatcher("report"), QuarrySearchLimits(), swapAfterTheRoot);
    EXPECT_GE(asked, 2);
    EXPECT_TRUE(outcome.items.isEmpty()) << outcome.items.value(0).relativePath.toStdString();
}
