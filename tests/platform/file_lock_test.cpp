// CVioFile's record lock, which keeps the writers of one cvlogs.ini apart: between processes
// (also across a close of another descriptor) and between threads of one process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CVioException.h"
#include "CVioFile.h"
#include "ChildProcess.h"
#include "TestSupport.h"

namespace {

class FileLockTest : public testsupport::TempDirTest {
protected:
    void SetUp() override { testsupport::writeFile(path, "data"); }
    const std::string path = tmp.file("shared");
};

// A classic fcntl lock would go with the first close of any descriptor of the file.
TEST_F(FileLockTest, ClosingAnotherDescriptorOfTheFileKeepsTheLock) {
    CVioFile holder(path);
    holder.open("r+");
    holder.lock('r', false);
    CVioFile(path).open("r");  // and closed again at once
    close(open(path.c_str(), O_RDONLY));
    const int refused = testsupport::runInChild([&] {
        CVioFile file(path);
        file.open("r+");
        try {
            file.lock('w', false);
        } catch (const CVioException& e) {
            return e.getMessage() == "File Lock Failed" ? 1 : 2;
        }
        return 0;
    });
    EXPECT_EQ(1, refused);
}

// The second thread shares the holder's object (object lock) or opened the file itself (record
// lock of another descriptor); either way it waits for the unlock.
TEST_F(FileLockTest, SecondThreadWaitsUntilTheFirstUnlocksOrCloses) {
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
