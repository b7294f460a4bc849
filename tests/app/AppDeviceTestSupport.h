#pragma once

// The fixture of the window tests that make real RAM disks: a clean state before and after,
// a stand-in installation, and a sandbox that ejects whatever the test left mounted.
#include "AppTestSupport.h"
#include "QMRamDiskTestSupport.h"
#include "QMTestSupport.h"
#include "RamDiskConfigController.h"

#include <gtest/gtest.h>

namespace QMAppTest {

class AppDeviceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QM_REQUIRE_LOOP_DEVICES();
        resetState();
    }
    void TearDown() override { resetState(); }
    // The window's first RAM disk, created at once by its store; none when it is not mounted.
    QMRamDisk::Ptr createFirst(const Window &w)
    {
        QMRamDisk::Ptr r = w.controller->ramDiskEntries()->ramDisks().first();
        sandbox.watch(r);
        w.controller->ramDiskEntries()->create(r, false);
        return r->status() == QMRamDiskStatus_mounted ? r : nullptr;
    }
    FakeInstallation installation;
    QMEngineTest::RamDiskSandbox sandbox;
};

// Counts the final reports of actions once the window has handled them: the store's own
// signal is queued after the window's handling of the same report.
struct FinalReports
{
    explicit FinalReports(QMRamDiskEntries *store)
    {
        QObject::connect(store, &QMRamDiskEntries::ramDiskReported, store, [this](const QMRamDiskReport &report) {
            if (report.isFinal())
                ++count;
        });
    }
    int count = 0;
};

} // namespace QMAppTest
