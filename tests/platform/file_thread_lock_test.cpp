#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CVioFile.h"
#include "TestSupport.h"

namespace {

class FileThreadLockTest : public testsupport::TempDirTest {};

// The holder's lock keeps a second thread waiting whether that thread shares the holder's
// object (object lock) or opened the file itself (record lock of another descriptor).
TEST_F(FileThreadLockTest, SecondThreadWaitsUntilTheFirstUnlocks) {
    const std::string path = tmp.file("locked");
    testsupport::writeFile(path, "data");
    for (bool sharedObject : {true, false}) {
        CVioFile holder(path);
        holder.open("r+");
        holder.lock('w', false);
        std::atomic<bool> acquired{false};
        std::thread other([&] {
            CVioFile own(path);
            own.open("r+");
            CVioFile& file = sharedObject ? holder : own;
            file.lock('w', true);
            acquired = true;
            file.unlock();
        });
        EXPECT_FALSE(
            testsupport::pollUntil([&] { return acquired.load(); }, std::chrono::milliseconds(200)))
            << "shared object: " << sharedObject;
        holder.unlock();
        EXPECT_TRUE(testsupport::pollUntil([&] { return acquired.load(); }));
        other.join();
    }
    // Closing, too, must give the object lock up for other threads.
    CVioFile file(path);
    file.open("r+");
    file.lock('w', false);
    file.close();
    std::thread([&] {
        file.open("r+");
        file.lock('w', false);
        file.unlock();
    }).join();
}

}  // namespace
