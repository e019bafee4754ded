// The splitter's decisions run inside orvex (the plug-in's own code, linked
// in), for the commands that ask about a split instead of making one: `orvex
// why` and the size report of `orvex split --report`.
//
// The session takes the split settings as they are, resolves the worlds as
// `orvex split` does, and runs ORVEX::OVI_SplitQuery: the mapping and the
// output passes, no output written. What the splitter always writes into its
// current directory (the final missing-files report, the AI library's object
// list) goes into a private folder made inside the work folder (or the
// current directory; the system's temporary folder when that cannot be
// written), removed when the session ends, so that nothing of the user's is
// touched and the block's paths stay as short as they are for the split. The
// splitter's message lines are kept from standard output and counted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/CmdSplit.h"
#include "plugin/OVI_SplitQuery.h"

namespace HOST {

// The split options a session ignores: they only shape what a split writes
// (its files, reports, stamps and terminal lines) or which plug-in it loads,
// while the session runs the linked-in decisions and writes nothing. A
// command that asks about a split refuses them on its command line.
inline constexpr std::string_view kQueryIgnoredOptions[] = {
    "--data-root",  "--write-refs-cache", "--replacement",  "--replace",  "--no-copy", "--linker",
    "--package-id", "--package-word",     "--small-header", "--compress", "--report",  "--dir-count-base",
    "--plugin",     "--summary-json",     "--reproducible", "--no-wait",  "--quiet",   "--verbose",
};

class SplitQuerySession {
public:
    SplitQuerySession();
    // eDeinit, back into the folder the session started in, the private folder removed.
    ~SplitQuerySession();
    SplitQuerySession(const SplitQuerySession&) = delete;
    SplitQuerySession& operator=(const SplitQuerySession&) = delete;

    // Runs the decisions for `settings` (the data root need not exist; the
    // outputs-only options are ignored). False with `*error` set when the
    // settings are refused, the bigfile cannot be read or the session fails
    // to start; `*usage` tells a usage error from the rest.
    bool bRun(const SplitSettings& settings, std::string* error, bool* usage);

    // Valid after a successful bRun, until the session ends.
    ORVEX::OVI_SplitQuery& Query() { return *m_Query; }
    int32_t l_Status() const { return ml_Status; }
    const std::vector<WorldFile>& SelectedWorlds() const { return m_Selected; }

private:
    void _End();

    std::unique_ptr<ORVEX::OVI_SplitQuery> m_Query;
    std::vector<WorldFile> m_Selected;
    std::string ms_StartDir;
    std::string ms_Folder;
    bool mb_Inside = false;
    bool mb_Initialised = false;
    int32_t ml_Status = 0;
};

}  // namespace HOST
