// Bulk files through the real daemon: a fixture with a bulk directory and what to read back.
#pragma once

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "DaemonHarness.h"

namespace corfitest {

class BulkDaemonTest : public DaemonTest {
protected:
    // `extra` comes first, so its values win.
    void layoutBulk(const std::string& extra = "") {
        std::filesystem::create_directories(at("bulk"));
        layout(extra + "bulk_enable: TRUE\nbulk_dir: " + at("bulk") +
               "\nbulk_recipient_pattern: TO=(\\d+)\nbulk_message_pattern: MSG=(.*)$\n"
               "bulk_check_period: 1\nrest: 0\n");
    }
    // The bulk status file's record: the work name and the number of lines done.
    std::pair<std::string, int> bulkStatus() const {
        const std::string text = testsupport::readFile(at("temp/.ACorFi_BulkStatus"));
        const size_t end = text.find('\n');
        return {text.substr(0, end),
                end == std::string::npos ? 0 : std::atoi(text.c_str() + end + 1)};
    }
    // The name the work file `work` (a path ending "_M") ends under.
    static std::string doneName(const std::string& work) {
        const std::string name = work.substr(work.rfind('/') + 1);
        return name.substr(0, name.size() - 1) + "R";
    }
    // "TO=<i> MSG=<i><suffix>" for i from 1 to `count`.
    static std::string bulkLines(int count, const std::string& suffix) {
        std::string content;
        for (int i = 1; i <= count; ++i) {
            content += "TO=" + std::to_string(i) + " MSG=" + std::to_string(i) + suffix + "\n";
        }
        return content;
    }
    // Messages received per recipient; each must carry its whole text (every text is URL-safe).
    std::map<std::string, int> receivedFrom(const std::string& suffix) const {
        std::map<std::string, int> sent;
        for (const std::string& body : record()) {
            const size_t name = body.find("&name=") + 6, message = body.find("&message=") + 9;
            const std::string to = body.substr(name, body.find('&', name) - name);
            ++sent[to];
            EXPECT_EQ(to + suffix, body.substr(message));
        }
        return sent;
    }
    // Until the bulk file is done ("_R") and its message files are delivered; FAILED ends it.
    bool waitForAllDelivered(size_t messages) const {
        const auto delivered = [&] {
            const std::vector<std::string> bulk = entries("bulk"), spool = entries("spool");
            return bulk.size() == 1 && bulk[0].size() > 2 &&
                   bulk[0].substr(bulk[0].size() - 2) == "_R" && record().size() >= messages &&
                   std::none_of(spool.begin(), spool.end(), [](const std::string& name) {
                       return strncasecmp(name.c_str(), "corfi", 5) == 0;
                   });
        };
        testsupport::pollUntil(
            [&] { return delivered() || log().find("FAILED") != std::string::npos; },
            std::chrono::seconds(50), std::chrono::milliseconds(100));
        return delivered();
    }
};

}  // namespace corfitest
