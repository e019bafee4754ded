#include "host/SplitQuerySession.h"

#include <filesystem>
#include <set>

#include "platform/File.h"
#include "platform/OutputCapture.h"
#include "platform/Process.h"
#include "orvex/OVC_Interface.h"

namespace HOST {

namespace {

// A fresh folder for one session inside `parent`; empty when it cannot be made.
std::string MakePrivateFolder(const std::string& parent) {
    static unsigned s_Count = 0;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            ".orvex-query-" + std::to_string(PLT::CurrentProcessId()) + "-" + std::to_string(s_Count++);
        const std::string path = parent.empty() ? name : parent + "/" + name;
        if (!PLT::DirectoryExists(path) && PLT::MakeDirectory(path))
            return path;
    }
    return std::string();
}

void RemoveFolder(const std::string& path) {
    std::vector<std::string> names;
    if (PLT::ListDirectory(path, &names))
        for (const std::string& name : names)
            PLT::RemoveFile(path + "/" + name);
    PLT::RemoveDirectory(path);
}

}  // namespace

SplitQuerySession::SplitQuerySession() = default;

SplitQuerySession::~SplitQuerySession() {
    _End();
}

void SplitQuerySession::_End() {
    if (m_Query && mb_Initialised) {
        PLT::StdoutCapture quiet([](std::string_view) {});
        m_Query->eDeinit();
    }
    mb_Initialised = false;
    if (mb_Inside)
        PLT::ChangeDirectory(ms_StartDir);
    mb_Inside = false;
    if (!ms_Folder.empty())
        RemoveFolder(ms_Folder);
    ms_Folder.clear();
}

bool SplitQuerySession::bRun(const SplitSettings& given, std::string* error, bool* usage) {
    *usage = true;
    if (given.s_Bigfile.empty()) {
        *error = "BIGFILE is required (on the command line or in the --config file)";
        return false;
    }
    std::vector<WorldFile> worlds;
    if (!bListWorldFiles(given.s_Bigfile, &worlds, error)) {
        *error = "cannot read " + given.s_Bigfile + ": " + *error;
        *usage = false;
        return false;
    }
    std::vector<uint32_t> keys;
    if (!bResolveWorlds(given.worlds, worlds, &keys, error))
        return false;
    const std::set<uint32_t> chosen(keys.begin(), keys.end());
    m_Selected.clear();
    for (const WorldFile& w : worlds)
        if (chosen.count(w.ul_Key) != 0)
            m_Selected.push_back(w);

    *usage = false;
    ms_StartDir = PLT::CurrentDirectory();
    const std::string parent = given.s_WorkDir.empty() ? std::string(".") : given.s_WorkDir;
    ms_Folder = PLT::DirectoryExists(parent) ? MakePrivateFolder(parent) : std::string();
    if (ms_Folder.empty())
        ms_Folder = MakePrivateFolder(std::filesystem::temp_directory_path().string());
    if (ms_Folder.empty()) {
        *error = "cannot create a private folder for the query: " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    ms_Folder = std::filesystem::absolute(ms_Folder).lexically_normal().string();

    SplitSettings settings = given;
    settings.s_WorkDir = ms_Folder;
    settings.s_DataRoot.clear();
    settings.s_Replacement.clear();
    ORVEX::OVI_SplitterParams params;
    if (!bFillSplitParams(settings, keys, &params, error)) {
        *usage = true;
        return false;
    }
    if (!PLT::ChangeDirectory(ms_Folder)) {
        *error = "cannot change into " + ms_Folder + ": " + PLT::ErrorText(PLT::LastError());
        return false;
    }
    mb_Inside = true;

    m_Query = std::make_unique<ORVEX::OVI_SplitQuery>();
    {
        // The splitter's lines belong to a split; a query shows only its answer.
        PLT::StdoutCapture quiet([](std::string_view) {});
        ml_Status = m_Query->eInit(&params);
        mb_Initialised = true;
        if (ml_Status == 0)
            ml_Status = m_Query->eRun();
    }
    if (ml_Status != 0 && ml_Status != -1) {
        *error = "the splitter's session ended with status " + std::to_string(ml_Status) +
                 (ml_Status == 5 ? " (the bigfile's tables could not be read)" : "");
        return false;
    }
    return true;
}

}  // namespace HOST
