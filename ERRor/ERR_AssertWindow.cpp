#include "ERRor/ERR_AssertWindow.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

#include "ERRor/ERR_Assert.h"
#include "ERRor/ERR_Dialog.h"

#ifndef ORVEX_VERSION
#define ORVEX_VERSION "0.0.0"
#endif

namespace {

struct VersionInfo {
    std::mutex mutex;
    std::string engine = ORVEX_VERSION;
    std::string package;
};

VersionInfo& Versions() {
    static VersionInfo* s_info = new VersionInfo;
    return *s_info;
}

const char kDashes[] = "--------------------------------------------------------------------------------";

int TextWidth(size_t characters, int charWidth) {
    return static_cast<int>(std::min<size_t>(characters, 1u << 20)) * charWidth;
}

}  // namespace

ERR_st_AssertWindowLayout ERR_st_LayoutAssertWindow(const char* location, const char* message,
                                                    uint8_t flags) {
    ERR_st_AssertWindowLayout layout;
    layout.buttons = std::popcount(static_cast<unsigned>(flags & 0x0F)) + 1;
    int width = std::max(layout.buttons * ERR_kButtonPitch + 20, ERR_kMinWindowWidth);
    if (location)
        width = std::max(width, TextWidth(std::strlen(location), ERR_kRegularCharWidth) + ERR_kTextMargin);
    const char* line = message;
    for (int i = 0; line && i < ERR_kMaxMeasuredLines; ++i) {
        const char* end = std::strchr(line, '\n');
        size_t length = end ? static_cast<size_t>(end - line) : std::strlen(line);
        width = std::max(width, TextWidth(length, ERR_kBoldCharWidth) + ERR_kTextMargin);
        line = end ? end + 1 : nullptr;
    }
    layout.width = width;
    return layout;
}

std::vector<PLT::DialogChoice> ERR_AssertChoices(uint8_t flags) {
    std::vector<PLT::DialogChoice> choices;
    if (flags & ERR_AssertFlag_Crash)
        choices.push_back({"&Generate Crash", ERR_Answer_Crash, "d"});  // D, as on the window
    if (flags & ERR_AssertFlag_Stop)
        choices.push_back({"&Stop the engine", ERR_Answer_Stop});
    if (flags & ERR_AssertFlag_Continue)
        choices.push_back({"&Continue", ERR_Answer_Continue});
    if (flags & ERR_AssertFlag_Ignore)
        choices.push_back({"&Ignore always", ERR_Answer_Ignore});
    return choices;
}

void ERR_SetEngineVersion(const char* version) {
    VersionInfo& info = Versions();
    std::lock_guard<std::mutex> lock(info.mutex);
    info.engine = version ? version : "";
}

void ERR_SetVersionPackage(const char* package) {
    VersionInfo& info = Versions();
    std::lock_guard<std::mutex> lock(info.mutex);
    info.package = package ? package : "";
}

std::string ERR_AssertCopyReport(const char* title, const char* location, const char* message) {
    std::string engine, package;
    {
        VersionInfo& info = Versions();
        std::lock_guard<std::mutex> lock(info.mutex);
        engine = info.engine;
        package = info.package;
    }
    std::string report;
    report += kDashes;
    report += "\n\nMarlin v";
    report += engine;
    report += " triggered an Assert:\n";
    if (!package.empty()) {
        report += "Version package: ";
        report += package;
        report += "\n";
    }
    for (const char* part : {title, location, message}) {
        report += part ? part : "";
        report += "\n";
    }
    report += kDashes;
    report += "\n";
    return report;
}

int ERR_i_ShowAssertWindow(const char* category, const char* location, const char* message, uint8_t flags) {
    ERR_st_Dialog dialog;
    dialog.title = category ? category : "";
    dialog.body = std::string(location ? location : "") + "\n" + (message ? message : "");
    dialog.choices = ERR_AssertChoices(flags);
    dialog.defaultId = (flags & ERR_AssertFlag_Continue) ? ERR_Answer_Continue : 0;
    dialog.copyText = ERR_AssertCopyReport(category, location, message);
    int answer = ERR_i_ShowDialog(dialog);
    // Only an offered answer ends the window; anything else counts as closing it.
    for (const PLT::DialogChoice& choice : dialog.choices)
        if (choice.id == answer)
            return answer;
    return ERR_Answer_Closed;
}
