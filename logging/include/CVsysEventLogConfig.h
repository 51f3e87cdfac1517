// Reading and writing the event log's configuration file cvlogs.ini.
#pragma once

#include <cstdint>
#include <string>

class IniReaderWriter;

// configDirectory + "/cvlogs.ini" (backslashes doubled; no second "/").
std::string makeIniPath(const std::string& configDirectory);
// A log file name that does not exist yet: "<parent of /config>/logs/<name>.txt", numbered
// "<name>.<n>.txt" while the name is taken; relative when the directory has no "/config".
std::string defaultLogFilePath(const std::string& configDirectory, const std::string& name);
// Writes the default keys of section "[<section>]" and creates (empties) its log file.
void writeDefaultSection(const std::string& configDirectory, IniReaderWriter& ini,
                         const std::string& name, const std::string& section, bool addToMain,
                         const std::string& fileBase, const std::string& logDirectory);
// Writes a fresh cvlogs.ini for the module and the "[common]" section.
bool createDefaultConfiguration(const std::string& moduleName, const std::string& configDirectory,
                                const std::string& logDirectory);
// Makes sure cvlogs.ini has a usable section for the module, writing defaults where needed.
bool ensureConfiguration(const std::string& moduleName, const std::string& configDirectory,
                         const std::string& logDirectory);
// The key's value in the module's section (or "[common]"); empty when missing.
std::string getModuleLoggerWriter(const std::string& configDirectory, const std::string& moduleName,
                                  const std::string& key);
// Threshold keyword to level; anything unknown is WARN (4).
int32_t parseLevel(const std::string& text);
