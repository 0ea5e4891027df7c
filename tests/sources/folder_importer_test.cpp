#include "sources/folder_importer.h"
#include "support/printing.h"
#include "support/test_support.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>

using testing_support::writeFile;

namespace {

using Folders = QList<QuarryImportedFolder>;

const char kMacCandidate[] = "Library/Application Support/Syncthing/config.xml";
const char kStateCandidate[] = ".local/state/syncthing/config.xml";
const char kConfigCandidate[] = ".config/syncthing/config.xml";

QByteArray configuration(const QByteArray& body) {
    return "<?xml version=\"1.0\"?>\n<configuration version=\"37\">\n" + body + "\n</configuration>\n";
}

// A home folder of the test's own for each case.
class FolderImporter : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_home.isValid()); }
    QString home() const { return m_home.path(); }
    void place(const char* candidate, const QByteArray& contents) {
        writeFile(home() + "/" + candidate, contents);
    }
    std::optional<Folders> load() const { return QuarryFolderImporter::loadImportedFolders(home()); }

private:
    QTemporaryDir m_home;
};

std::optional<Folders> parse(const QByteArray& document, const QString& home = QStringLiteral("/home/u")) {
    QBuffer buffer;
    buffer.setData(document);
    buffer.open(QIODevice::ReadOnly);
    return QuarryFolderImporter::readFolders(buffer, home);
}

} // namespace

TEST_F(FolderImporter, TheFirstExistingCandidateDecidesBetweenAbsentAndAList) {
    EXPECT_EQ(load(), std::nullopt) << "no configuration at all is absent";
    place(kConfigCandidate, configuration("<folder id=\"c\" label=\"Third\" path=\"/data/third\"/>"));
    EXPECT_EQ(load(), (Folders{{"c", "Third", "/data/third"}}));

    // Syncthing itself writes the second candidate, with HOME inside the test's home folder.
    QProcess syncthing;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home());
    syncthing.setProcessEnvironment(environment);
    syncthing.start(QStringLiteral("syncthing"),
                    {QStringLiteral("generate"), QStringLiteral("--home"), home() + "/.local/state/syncthing",
                     QStringLiteral("--skip-port-probing")});
    ASSERT_TRUE(syncthing.waitForFinished(60000)) << "syncthing generate did not finish";
    ASSERT_EQ(syncthing.exitCode(), 0) << syncthing.readAllStandardError().toStdString();
    QFile generated(home() + "/" + kStateCandidate);
    ASSERT_TRUE(generated.open(QIODevice::ReadOnly) && generated.readAll().contains("<defaults>"));
    // Its default folder, and not the template under <defaults>: sharing "~" would publish the whole home.
    EXPECT_EQ(load(), (Folders{{"default", "Default Folder", home() + "/Sync"}}));

    // Read, but without folders: an empty list, not absent.
    place(kStateCandidate, configuration("<device id=\"X\" name=\"laptop\"/><options/>"));
    EXPECT_EQ(load(), Folders{});
    // Folders read before an error anywhere in the file are discarded with it.
    for (const QByteArray& broken : {QByteArray(), configuration("<folder id=\"a\" path=\"/a\"/></x>"),
                                     configuration("<folder id=\"a\" path=\"/a&unknown;\"/>")}) {
        place(kStateCandidate, broken);
        EXPECT_EQ(load(), std::nullopt) << broken.toStdString();
    }

    // A malformed first candidate makes the result absent; the later ones are not tried.
    place(kStateCandidate, configuration("<folder id=\"b\" label=\"Second\" path=\"/data/second\"/>"));
    place(kMacCandidate, configuration("<folder id=\"a\" label=\"First\" path=\"/data/first\">"));
    EXPECT_EQ(load(), std::nullopt);

    // A pipe there is not read: it would block the caller.
    ASSERT_TRUE(QFile::remove(home() + "/" + kMacCandidate));
    ASSERT_EQ(::mkfifo(QFile::encodeName(home() + "/" + kMacCandidate).constData(), 0600), 0);
    EXPECT_EQ(load(), std::nullopt);
}

TEST(FolderImporterFields, FoldersAtAnyDepthOutsideTheDefaultsTemplatesWithFieldsTrimmedAndExpanded) {
    EXPECT_EQ(parse(configuration(R"(
<folder label=" Photos &#10;" path="~/Pictures/Photos" id="abcd-1234"/>
<defaults><folder id="" label="" path="~"/><deeper><folder id="t2" path="/t2"/></deeper>
  <defaults><folder id="t3" path="/t3"/></defaults><folder id="t4" path="/t4"/></defaults>
<folder label="" path="/Volumes/Data/Music" id="   "/>
<folder path="  /srv/Zeta/  "/>
<folder label="No path" id="np"/>
<folder label="Blank path" path="   " id="bp"/>
<folder label="Home" path="~" id="home"/>
<folder label="Unknown user" path="~nosuchuser-blq/x" id="nu"/>
<folder label="Root's" path="~root/data" id="ru"/>
<folder Label="Wrong case" PATH="/wrong" id="wc"/>
<Folder label="Not a folder" path="/nope"/>
<st:folder xmlns:st="urn:x" label="Prefixed" path="/prefixed"/>
<group><inner><folder id="n1" label="Nested" path="/n1"/></inner></group>
<folder id="outer" label="Outer" path="/outer"><folder id="inner" label="Inner" path="/inner"/></folder>
<!-- <folder id="comment" path="/comment"/> -->
<![CDATA[<folder id="cdata" path="/cdata"/>]]>)")),
              (Folders{{"home", "Home", "/home/u"},
                       {"inner", "Inner", "/inner"},
                       {std::nullopt, "Music", "/Volumes/Data/Music"},
                       {"n1", "Nested", "/n1"},
                       {"outer", "Outer", "/outer"},
                       {"abcd-1234", "Photos", "/home/u/Pictures/Photos"},
                       {"ru", "Root's", QString::fromLocal8Bit(getpwnam("root")->pw_dir) + "/data"},
                       {"nu", "Unknown user", "~nosuchuser-blq/x"},
                       {std::nullopt, "Zeta", "/srv/Zeta/"}}));
}

TEST(FolderImporterFields, SortedByNameIgnoringCaseInTheUsersLanguageKeepingDocumentOrder) {
    const std::optional<Folders> folders = parse(configuration(R"(
<folder id="1" label="beta" path="/1"/><folder id="2" label="Alpha" path="/2"/>
<folder id="3" label="alpha" path="/3"/><folder id="4" label="Zebra" path="/4"/>
<folder id="5" label="Éclair" path="/5"/><folder id="6" label="apple" path="/6"/>
<folder id="7" label="Alpha" path="/7"/><folder id="8" label="eclair" path="/8"/>
<folder id="2" label="Alpha" path="/2"/>)"));
    QStringList ids;
    for (const QuarryImportedFolder& folder : folders.value_or(Folders{}))
        ids.append(folder.id());
    // Duplicates are kept; accents sort beside their letter in English, not after "z".
    EXPECT_EQ(ids, (QStringList{"2", "3", "7", "2", "6", "1", "8", "5", "4"}));
}
