// Writes one message file into the spool directory (resource spool_dir) for the dispatch cycle
// to pick up. Failures are logged, never raised.
#pragma once

#include <string>

// The file is written whole under a hidden temporary name in the spool directory, flushed, and
// then renamed to spool_dir + "/corfi" + six characters, so the dispatch cycle never meets a
// partial file. Lines "KEYWORD:\tvalue\n" for each non-empty value (RECEIVER, GROUP, NAME, PIN,
// CARRIER, JOBID) and always "MESSAGE:\t<message>\n". True when the file was written whole.
bool createMessageFile(const std::string& message, const std::string& name, const std::string& pin,
                       const std::string& receiver, const std::string& group,
                       const std::string& carrier, const std::string& jobId);
