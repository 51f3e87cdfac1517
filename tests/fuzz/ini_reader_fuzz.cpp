// INI files as the event log's configuration reader meets them: parsed, walked and saved.
#include "FuzzSupport.h"
#include "IniReaderWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& dir = fuzzsupport::scratchDirectory();
    fuzzsupport::writeScratchFile(dir + "/in.ini", data, size);
    IniReaderWriter ini(dir + "/in.ini", true, false, false);
    ini.faultyLine();
    std::string key, value;
    for (const char* section : {static_cast<const char*>(nullptr), "[main]", "[common]"}) {
        for (int index = 0; ini.getEntry(section, index, key, value, IniReaderWriter::ENTRY);
             ++index) {
            ini.getValue(section, key);
        }
    }
    ini.valueOf(ini.getSection("[main]"), "added") = "value";
    ini.saveTo(dir + "/out.ini");
    return 0;
}
