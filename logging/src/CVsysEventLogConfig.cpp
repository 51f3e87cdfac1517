#include "CVsysEventLogConfig.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "CVIniReaderWriterEx.h"
#include "CVioException.h"
#include "CVioFile.h"
#include "CVioPath.h"
#include "CVsysEventLogInterface.h"
#include "CVsysEventLogWriterFactory.h"
#include "CVsysReportError.h"

namespace {

const char* const kIniName = "cvlogs.ini";
const char* const kMain = "[main]";
const char* const kCommon = "[common]";
const char* const kCommonSection = "common";
const char* const kCommonName = "common_logs";
const char* const kLoaderFunction = "CVsysEventLogInterface::loadWriterConfig";
const char* const kConfigFunction = "CVsysEventLogInterface::ensureConfiguration";

std::string bracketed(const std::string& section) {
    return "[" + section + "]";
}

bool readable(const std::string& path) {
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr) {
        return false;
    }
    fclose(file);
    return true;
}

// Creates the file or empties it; failures show up later, when the writer opens it.
void createEmpty(const std::string& path) {
    FILE* file = fopen(path.c_str(), "we");
    if (file != nullptr) {
        fclose(file);
    }
}

// False only when the file neither existed nor could be created.
bool createIfMissing(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
        close(fd);
        return true;
    }
    return errno == EEXIST;
}

// The section a module logs to: its "[main]" entry, else "common" when that section names a
// writer. Empty when neither applies.
std::string sectionOf(const IniReaderWriter& ini, const std::string& moduleName) {
    std::string section = ini.getValue(kMain, moduleName);
    if (section.empty() && !ini.getValue(kCommon, "writer").empty()) {
        section = kCommonSection;
    }
    return section;
}

// True when the module has no usable section, or its log lies outside the log directory asked
// for.
bool moduleSectionNeedsWriting(const IniReaderWriter& ini, const std::string& moduleName,
                               const std::string& logDirectory) {
    const std::string section = ini.getValue(kMain, moduleName);
    if (section.empty() || !ini.hasSection(bracketed(section))) {
        return true;
    }
    if (logDirectory.empty()) {
        return false;
    }
    const std::string header = bracketed(section);
    const std::string path = ini.getValue(header.c_str(), "writer") == "file"
                                 ? ini.getValue(header.c_str(), "filePath")
                                 : ini.getValue(header.c_str(), "dbfilename");
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || path.substr(0, slash) != logDirectory;
}

enum class Outcome { READY, RETRY, FAILED, UNPARSABLE };

bool sectionNeedsWriting(const IniReaderWriter& ini, const std::string& moduleName,
                         const std::string& logDirectory) {
    return !ini.hasSection(kMain) || !ini.hasSection(kCommon) ||
           moduleSectionNeedsWriting(ini, moduleName, logDirectory);
}

// Writes the defaults of what is missing under the exclusive lock, after reloading: another process
// may have fixed the file since we looked, and its choice of log file stands.
Outcome rewriteConfiguration(CVIniReaderWriterEx& ini, const std::string& moduleName,
                             const std::string& configDirectory, const std::string& logDirectory) {
    ini.unlock();
    ini.lock(false);
    ini.load();
    if (ini.faultyLine() != 0) {
        return Outcome::UNPARSABLE;
    }
    if (!sectionNeedsWriting(ini, moduleName, logDirectory)) {
        return Outcome::READY;
    }
    const bool hadCommon = ini.hasSection(kCommon);
    if (moduleSectionNeedsWriting(ini, moduleName, logDirectory)) {
        std::string section = ini.getValue(kMain, moduleName);
        if (section.empty()) {
            section = moduleName + "_logger";
        }
        writeDefaultSection(configDirectory, ini, moduleName, section, true, "", logDirectory);
    }
    if (!hadCommon) {
        writeDefaultSection(configDirectory, ini, kCommonName, kCommonSection, false, "", "");
    }
    return ini.save() ? Outcome::READY : Outcome::FAILED;
}

// One read-decide-update pass; throws whatever the file operations throw. A file that does not
// parse is never rewritten: the operator's settings in it would be lost.
Outcome ensureOnce(const std::string& iniPath, const std::string& moduleName,
                   const std::string& configDirectory, const std::string& logDirectory) {
    CVIniReaderWriterEx ini(iniPath);
    ini.lock(true);
    ini.load();
    if (ini.faultyLine() != 0) {
        return Outcome::UNPARSABLE;
    }
    if (!sectionNeedsWriting(ini, moduleName, logDirectory)) {
        return Outcome::READY;
    }
    return rewriteConfiguration(ini, moduleName, configDirectory, logDirectory);
}

void reportUnparsable(const char* function, const std::string& moduleName,
                      const std::string& iniPath) {
    CVsysReportError(function, moduleName.c_str(), "cvlogs.ini [%s] cannot be parsed",
                     iniPath.c_str());
}

// What a module's section of cvlogs.ini holds, read under the shared lock.
struct SectionConfig {
    std::string writer;
    std::string level;
    std::vector<std::pair<std::string, std::string>> entries;  // non-empty ones, in file order
};

// RETRY when the module has no section to log to.
Outcome readSection(const std::string& iniPath, const std::string& moduleName, const char* ident,
                    SectionConfig& config) {
    CVIniReaderWriterEx ini(iniPath);
    ini.lock(true);
    ini.load();
    if (!ini.isLoaded()) {
        CVsysReportError(kLoaderFunction, ident, "Unable to load/read config/cvlogs.ini file.");
        return Outcome::FAILED;
    }
    if (ini.faultyLine() != 0) {
        reportUnparsable(kLoaderFunction, moduleName, iniPath);
        return Outcome::FAILED;
    }
    const std::string section = sectionOf(ini, moduleName);
    if (section.empty()) {
        return Outcome::RETRY;
    }
    const std::string header = bracketed(section);
    config.writer = ini.getValue(header.c_str(), "writer");
    config.level = ini.getValue(header.c_str(), "level");
    std::string key;
    std::string value;
    for (int index = 0; ini.getEntry(header.c_str(), index, key, value, IniReaderWriter::ENTRY);
         ++index) {
        if (!key.empty() && !value.empty()) {
            config.entries.emplace_back(key, value);
        }
    }
    return Outcome::READY;
}

// One configuration attempt; a writer is left in `writer` only when it is ready.
Outcome configureWriter(const std::string& iniPath, const std::string& moduleName,
                        std::unique_ptr<CVsysEventLogWriterInterface>& writer, int32_t& level) {
    SectionConfig config;
    const Outcome read = readSection(iniPath, moduleName, moduleName.c_str(), config);
    if (read != Outcome::READY) {
        return read;
    }
    writer = CVsysEventLogWriterFactory::create(CVsysEventLogWriterFactory::kindOf(config.writer));
    if (!writer) {
        return Outcome::RETRY;
    }
    level = parseLevel(config.level);
    for (const auto& [key, value] : config.entries) {
        writer->setParameter(key, value);
    }
    if (writer->isReady()) {
        return Outcome::READY;
    }
    CVsysReportError(kLoaderFunction, moduleName.c_str(),
                     "Log writer initialization failed. Check cvlogs.ini");
    writer.reset();
    return Outcome::FAILED;
}

}  // namespace

// Backslashes of the directory are doubled, as the INI layer escapes them; an empty directory
// means the root.
std::string makeIniPath(const std::string& configDirectory) {
    std::string path;
    path.reserve(configDirectory.size() + 16);
    for (size_t i = 0; i < configDirectory.size(); ++i) {
        path += configDirectory[i];
        if (configDirectory[i] != '\\') {
            continue;
        }
        if (i + 1 < configDirectory.size() && configDirectory[i + 1] == '\\') {
            path += configDirectory[++i];  // already doubled
        } else {
            path += '\\';
        }
    }
    return CVioPath::join(path.empty() ? "/" : path, kIniName, "/");
}

std::string defaultLogFilePath(const std::string& configDirectory, const std::string& name) {
    std::string base;
    const size_t config = configDirectory.rfind("/config");
    if (config != std::string::npos) {
        base = configDirectory.substr(0, config) + "/logs/";
    }
    std::string fileName = name;
    for (char& c : fileName) {
        if (c == ' ') {
            c = '_';
        }
    }
    if (fileName.empty()) {
        return base;
    }
    std::string candidate = base + fileName + ".txt";
    for (long n = 0; readable(candidate); ++n) {
        candidate = base + fileName + "." + std::to_string(n) + ".txt";
    }
    return candidate;
}

void writeDefaultSection(const std::string& configDirectory, IniReaderWriter& ini,
                         const std::string& name, const std::string& section, bool addToMain,
                         const std::string& fileBase, const std::string& logDirectory) {
    const std::string base = fileBase.empty() ? name : fileBase;
    const std::string filePath = logDirectory.empty()
                                     ? defaultLogFilePath(configDirectory, base)
                                     : CVioPath::join(logDirectory, base + "_log.txt");
    if (addToMain) {
        ini.valueOf(ini.getSection(kMain), name) = section;
    }
    IniReaderWriter::Line* header = ini.getSection(bracketed(section));
    ini.valueOf(header, "writer") = "file";
    ini.valueOf(header, "level") = "info";
    ini.valueOf(header, "filePath") = filePath;
    ini.valueOf(header, "bytesPerFiles") = "204800";
    ini.valueOf(header, "numFiles") = "20";
    ini.valueOf(header, "autoAppend") = "1";
    ini.valueOf(header, "perProcessFile") = "0";
    createEmpty(filePath);
}

bool createDefaultConfiguration(const std::string& moduleName, const std::string& configDirectory,
                                const std::string& logDirectory) {
    const std::string module = moduleName.empty() ? "sample" : moduleName;
    try {
        CVIniReaderWriterEx ini(makeIniPath(configDirectory), false);
        ini.open(true);
        ini.lock(false);
        writeDefaultSection(configDirectory, ini, module, module + "_logger", true, "",
                            logDirectory);
        writeDefaultSection(configDirectory, ini, kCommonName, kCommonSection, false, "", "");
        return ini.save();
    } catch (const CVException& e) {
        CVsysReportError("CVsysEventLogInterface::createDefaultConfiguration", module.c_str(), "%s",
                         e.toString().c_str());
    } catch (const std::exception& e) {
        CVsysReportError("CVsysEventLogInterface::createDefaultConfiguration", module.c_str(), "%s",
                         e.what());
    }
    return false;
}

bool ensureConfiguration(const std::string& moduleName, const std::string& configDirectory,
                         const std::string& logDirectory) {
    if (moduleName.empty()) {
        return false;
    }
    const std::string iniPath = makeIniPath(configDirectory);
    std::string lastError;
    for (int attempt = 0; attempt < CVsysEventLogInterface::CONFIG_ATTEMPTS; ++attempt) {
        try {
            const Outcome outcome = ensureOnce(iniPath, moduleName, configDirectory, logDirectory);
            if (outcome == Outcome::UNPARSABLE) {
                reportUnparsable(kConfigFunction, moduleName, iniPath);
            }
            return outcome == Outcome::READY;
        } catch (const CVioException& e) {
            // Creating it empty, exclusively, lets the next pass fill it under the file lock
            // like any other update: a "w+" open would empty what a concurrent creator wrote.
            if (!CVioFile::exists(iniPath) && !createIfMissing(iniPath)) {
                return createDefaultConfiguration(moduleName, configDirectory, logDirectory);
            }
            lastError = e.toString();
        } catch (const std::exception& e) {
            lastError = e.what();
        } catch (...) {
            lastError = "Unknown error";
        }
    }
    CVsysReportError(kConfigFunction, moduleName.c_str(), "Cannot update %s: %s", iniPath.c_str(),
                     lastError.c_str());
    return false;
}

std::string getModuleLoggerWriter(const std::string& configDirectory, const std::string& moduleName,
                                  const std::string& key) {
    std::string path = configDirectory;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    path += kIniName;
    try {
        CVIniReaderWriterEx ini(path);
        ini.lock(true);
        ini.load();
        if (!ini.isLoaded()) {
            CVsysReportError("CVsysEventLogInterface::getModuleLoggerWriter", "",
                             "Unable to load/read config/logs.ini file.");
            return std::string();
        }
        std::string section = ini.getValue(kMain, moduleName);
        if (section.empty()) {
            section = kCommonSection;
        }
        return ini.getValue(bracketed(section).c_str(), key);
    } catch (...) {
        return std::string();
    }
}

int32_t parseLevel(const std::string& text) {
    static const struct {
        const char* keyword;
        int32_t level;
    } kLevels[] = {
        {"trace", CVsysEventLogInterface::TRACE},       {"debug", CVsysEventLogInterface::DEBUG},
        {"infor", CVsysEventLogInterface::INFO},        {"info", CVsysEventLogInterface::INFO},
        {"information", CVsysEventLogInterface::INFO},  {"warni", CVsysEventLogInterface::WARN},
        {"warn", CVsysEventLogInterface::WARN},         {"warning", CVsysEventLogInterface::WARN},
        {"error", CVsysEventLogInterface::ERROR},       {"criti", CVsysEventLogInterface::CRITICAL},
        {"critical", CVsysEventLogInterface::CRITICAL}, {"fatal", CVsysEventLogInterface::FATAL},
    };
    for (const auto& entry : kLevels) {
        if (strcasecmp(text.c_str(), entry.keyword) == 0) {
            return entry.level;
        }
    }
    return CVsysEventLogInterface::WARN;
}

bool CVsysEventLogInterface::loadWriterConfig(int attempts) {
    const char* ident = m_moduleName.c_str();
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        m_writer.reset();
        try {
            int32_t level = m_level;
            const Outcome outcome = configureWriter(m_iniPath, m_moduleName, m_writer, level);
            m_level = level;
            if (outcome != Outcome::RETRY) {
                return outcome == Outcome::READY;
            }
        } catch (const CVioException& e) {
            m_writer.reset();
            if (attempt == attempts) {
                CVsysReportError(kLoaderFunction, ident, "%s: %s: %s", e.getMessage().c_str(),
                                 e.getPath().c_str(), e.getSysMessage().c_str());
            }
        } catch (...) {
            m_writer.reset();
            if (attempt == attempts) {
                CVsysReportError(kLoaderFunction, ident,
                                 "Error occurred while creating log writer.");
            }
        }
    }
    return false;
}
