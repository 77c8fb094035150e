// The engine bound by name: the real engine on a copy of the demo machine,
// and the failures of a library that is missing or lacks a function.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <array>

#include "engine.h"
#include "larkin/platform.h"

using namespace larkin::frontend;

class EngineBindingTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY(machineFolder_.isValid());
        QString machine = machineFolder_.filePath("demo.toml");
        QVERIFY(QFile::copy(QStringLiteral(LARKIN_DEMO_MACHINE), machine));
        std::array<char, 256> error{};
        QVERIFY2(LarkinStartPlatform(machine.toLocal8Bit().constData(), error.data(),
                                     static_cast<DWORD>(error.size())),
                 error.data());
    }

    void RealEngineListsTheDemoSticks() {
        TesselEngine engine;
        EngineResult count = engine.GetUSBDevCount();
        QVERIFY(!count.failure);
        QCOMPARE(count.value, 2);
        std::array<char, 256> text{};
        EngineResult first = engine.GetUSBDevInfo(0, text);
        QCOMPARE(first.value, 0);
        QCOMPARE(QString::fromLatin1(text.data()),
                 QStringLiteral("E: SanDisk Cruzer Blade USB Device"));
        EngineResult outside = engine.GetUSBDevInfo(2, text);
        QVERIFY(!outside.failure);
        QCOMPARE(outside.value, 6);
    }

    void MissingLibraryAndMissingFunction() {
        TesselEngine missing("NoSuchEngineLibrary");
        EngineResult none = missing.GetUSBDevCount();
        QCOMPARE(none.failure.code, runtime_error::kDllLoad);

        TesselEngine partial("FrontendTestEngine");
        EngineResult count = partial.GetUSBDevCount();
        QVERIFY(!count.failure);
        QCOMPARE(count.value, 1);
        std::array<char, 256> text{};
        QCOMPARE(partial.GetUSBDevInfo(0, text).value, 0);
        QCOMPARE(QString::fromLatin1(text.data()), QStringLiteral("Q: Test Engine Drive"));
        EngineResult create = partial.CreateUSBBoot("Q:", "A:", 0);
        QCOMPARE(create.failure.code, runtime_error::kDllEntryPoint);
        QVERIFY(create.failure.description.contains("CreateUSBBoot"));
        // A buffer smaller than the engine may write is refused.
        std::array<char, 16> small{};
        QCOMPARE(partial.GetUSBDevInfo(0, small).value, 6);
    }

  private:
    QTemporaryDir machineFolder_;
};

QTEST_GUILESS_MAIN(EngineBindingTest)
#include "engine_binding_test.moc"
