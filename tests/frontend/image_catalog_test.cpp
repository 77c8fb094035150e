// The image catalogue: the description file's rules and the folder walk.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

#include "fakes.h"
#include "image_catalog.h"

using namespace larkin::frontend;
using larkin::frontend::test::WriteFile;

namespace {

void AddImage(const QDir& images, const QString& name, const QByteArray& description) {
    QVERIFY(images.mkpath(name));
    WriteFile(images.filePath(name + "/fi.ini"), description);
}

}  // namespace

class ImageCatalogTest : public QObject {
    Q_OBJECT
  private slots:
    // Lines 2 to 4: the value after the first "=" exactly as written (the
    // whole line without one); LF or CR LF; Latin-1 or UTF-8; NULs kept.
    void DescriptionLines() {
        struct Case {
            QByteArray text;
            QString folder, agreement, name;
        };
        const Case cases[] = {
            {"x=y\r\nFolder=FreeDOS\r\nAgreement=a=b.rtf\r\nName= Spaced \r\n", "FreeDOS",
             "a=b.rtf", " Spaced "},
            {"h\nDir\nNONE\nWhole name\n", "Dir", "NONE", "Whole name"},
            {"h\nk=D\nk=E\nk=N\nk=later\n", "D", "E", "N"},
            {"h\nk=D\nk=E", "D", "E", ""},
            {"", "", "", ""},
            {"h\r\nk=D\nk=E\r\nk=N\rM\n", "D", "E", "N\rM"},
            {"h\nk=D\nk=E\nk=Caf\xE9\n", "D", "E", QStringLiteral("Caf\u00e9")},
            {"h\nk=D\nk=E\nk=Caf\xC3\xA9\n", "D", "E", QStringLiteral("Caf\u00e9")},
            {QByteArray("\x00\xff\n\x01=\x02\x00x", 9), QString::fromLatin1("\x02\x00x\x00", 4), "",
             ""},
        };
        for (const Case& c : cases) {
            FileImageEntry entry = ParseImageDescription(c.text);
            QCOMPARE(entry.imageDir, c.folder);
            QCOMPARE(entry.eulaFile, c.agreement);
            QCOMPARE(entry.imageName, c.name);
        }
    }

    void NoneInAnyCaseMeansNoAgreement() {
        for (const char* none : {"NONE", "None", "none", "nOnE"})
            QVERIFY(HasNoAgreement({QString::fromLatin1(none), {}, {}}));
        QVERIFY(!HasNoAgreement({QStringLiteral(" NONE"), {}, {}}));
        QVERIFY(!HasNoAgreement({QStringLiteral("License.rtf"), {}, {}}));
        QVERIFY(!HasNoAgreement({QString(), {}, {}}));
    }

    void FolderWalkInNameOrderSkippingFoldersWithoutDescription() {
        QTemporaryDir root;
        QDir images(root.path());
        AddImage(images, "Beta", "h\nk=Beta\nk=NONE\nk=Second\n");
        AddImage(images, "Alpha", "h\nk=Alpha\nk=NONE\nk=First\n");
        QVERIFY(images.mkpath("Empty"));
        QVERIFY(images.mkpath("Upper"));
        WriteFile(images.filePath("Upper/FI.INI"), "h\nk=Upper\nk=NONE\nk=Third\n");
        WriteFile(images.filePath("loose-file.txt"), "not a folder");
        ImageCatalog catalog;
        QStringList names;
        QVERIFY(LoadImageCatalog(root.path(), catalog, names) == CatalogLoad::Loaded);
        QCOMPARE(names, (QStringList{"First", "Second", "Third"}));
        QCOMPARE(catalog.lastIndex, 2);
        QCOMPARE(catalog.rows[1].imageDir, QStringLiteral("Beta"));
    }

    void MissingAndEmptyFolders() {
        ImageCatalog catalog;
        QStringList names;
        QVERIFY(LoadImageCatalog("/nonexistent/File_Images", catalog, names) ==
                CatalogLoad::FolderMissing);
        QTemporaryDir root;
        WriteFile(QDir(root.path()).filePath("file-only"), "x");
        QVERIFY(LoadImageCatalog(root.path(), catalog, names) == CatalogLoad::NoSubFolders);
        QCOMPARE(catalog.lastIndex, -1);
        QCOMPARE(catalog.Count(), 0);
    }

    // A description that cannot be read lists its image with empty values,
    // at once and with the reason: a pipe is not waited on, a link not
    // followed.
    void UnreadableDescriptionIsStillListedAndSaysWhy() {
        QTemporaryDir root;
        QDir images(root.path());
        AddImage(images, "Locked", "h\nk=Locked\nk=NONE\nk=Name\n");
        QFile::setPermissions(images.filePath("Locked/fi.ini"), QFileDevice::Permissions{});
        QVERIFY(images.mkpath("Pipe"));
        QCOMPARE(::mkfifo(QFile::encodeName(images.filePath("Pipe/fi.ini")).constData(), 0644), 0);
        AddImage(images, "Real", "h\nk=Real\nk=NONE\nk=Secret\n");
        QVERIFY(images.mkpath("Link"));
        QVERIFY(QFile::link(images.filePath("Real/fi.ini"), images.filePath("Link/fi.ini")));
        ImageCatalog catalog;
        QStringList names;
        LoadImageCatalog(root.path(), catalog, names);
        QCOMPARE(names.size(), 4);
        QCOMPARE(names[0], QString());                                      // Link
        QVERIFY(names[1].isEmpty() || names[1] == QStringLiteral("Name"));  // root reads it
        QCOMPARE(names[2], QString());                                      // Pipe
        QCOMPARE(names[3], QStringLiteral("Secret"));
        QString problems = catalog.problems.join(u'\n');
        QVERIFY2(problems.contains(images.filePath("Link/fi.ini") + ": is a symbolic link"),
                 qPrintable(problems));
        QVERIFY2(problems.contains(images.filePath("Pipe/fi.ini") + ": is a FIFO"),
                 qPrintable(problems));
    }

    void AtMost256ImagesAreStored() {
        QTemporaryDir root;
        QDir images(root.path());
        for (int i = 0; i < 300; ++i) {
            QString name = QStringLiteral("img%1").arg(i, 3, 10, QChar(u'0'));
            AddImage(images, name, "h\nk=" + name.toUtf8() + "\nk=NONE\nk=" + name.toUtf8() + "\n");
        }
        ImageCatalog catalog;
        QStringList names;
        LoadImageCatalog(root.path(), catalog, names);
        QCOMPARE(names.size(), 256);
        QCOMPARE(catalog.Count(), 256);
        QCOMPARE(catalog.rows[255].imageDir, QStringLiteral("img255"));
    }

    void LargeDescriptionIsReadOnlyInPart() {
        QTemporaryDir root;
        QDir images(root.path());
        QByteArray huge = "h\nk=Big\nk=NONE\nk=" + QByteArray(200000, 'n') + "\n";
        AddImage(images, "Big", huge);
        ImageCatalog catalog;
        QStringList names;
        LoadImageCatalog(root.path(), catalog, names);
        QCOMPARE(catalog.rows[0].imageDir, QStringLiteral("Big"));
        QVERIFY(names[0].size() < kDescriptionReadLimit);
    }

    void PlainNames() {
        QVERIFY(IsPlainName("LarkinDemo"));
        QVERIFY(IsPlainName(" spaced "));
        for (const char* bad : {"", ".", "..", "a/b", "a\\b", "/abs"})
            QVERIFY2(!IsPlainName(QString::fromLatin1(bad)), bad);
    }
};

QTEST_GUILESS_MAIN(ImageCatalogTest)
#include "image_catalog_test.moc"
