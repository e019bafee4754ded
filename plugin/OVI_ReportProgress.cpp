#include "plugin/OVI_ReportProgress.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <utility>

#include "DesignPaTterns/DPT_Singleton.h"
#include "platform/Clock.h"
#include "platform/Terminal.h"

namespace ORVEX {
namespace {

struct Step {
    std::unique_ptr<OVI_Progress> progress;
    uint64_t done = 0;
};

Step& CurrentStep() {
    return DPT::Singleton<Step>::Instance();
}

}  // namespace

void OVI_ReleaseProgress() {
    DPT::Singleton<Step>::Destroy();
}

OVI_Progress::OVI_Progress(std::string label, uint64_t total)
    : ms_Label(std::move(label)), mull_Total(total), mb_Enabled(PLT::IsStderrTerminal()) {}

OVI_Progress::~OVI_Progress() {
    if (mb_Shown)
        PLT::SetStatusLine(std::string());
}

void OVI_Progress::Update(uint64_t done) {
    if (!mb_Enabled)
        return;
    const uint64_t now = PLT::MonotonicMs();
    if (mb_Shown && now - mull_LastMs < kIntervalMs)
        return;
    mull_LastMs = now;
    mb_Shown = true;
    PLT::SetStatusLine(Text(ms_Label, done, mull_Total));
}

std::string OVI_Progress::Text(const std::string& label, uint64_t done, uint64_t total) {
    char text[64];
    if (total == 0)
        std::snprintf(text, sizeof(text), ": %" PRIu64, done);
    else
        std::snprintf(text, sizeof(text), ": %" PRIu64 "/%" PRIu64 " (%u%%)", done, total,
                      static_cast<unsigned>(done >= total ? 100 : done * 100 / total));
    return label + text;
}

void OVI_BeginStep(std::string label, uint64_t total) {
    Step& step = CurrentStep();
    step.progress.reset();
    step.progress = std::make_unique<OVI_Progress>(std::move(label), total);
    step.done = 0;
}

void OVI_StepDone() {
    Step& step = CurrentStep();
    if (step.progress)
        step.progress->Update(++step.done);
}

void OVI_EndStep() {
    CurrentStep().progress.reset();
}

}  // namespace ORVEX
