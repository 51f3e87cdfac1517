// CVioFile's record lock, which keeps the processes updating one cvlogs.ini apart.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "CVioException.h"
#include "CVioFile.h"
#include "ChildProcess.h"
#include "TestSupport.h"

namespace {

using FileLockTest = testsupport::TempDirTest;

// A classic fcntl lock would go with the first close of any descriptor of the file.
TEST_F(FileLockTest, ClosingAnotherDescriptorOfTheFileKeepsTheLock) {
    const std::string path = tmp.file("shared");
    testsupport::writeFile(path, "data");
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

}  // namespace
