// Progress of the splitter's long steps (mapping, writing each output) on the
// one-line status display of standard error.
//
// Shown only when standard error is a terminal, and redrawn at most every
// kIntervalMs: a run whose standard error goes to a file or a pipe gets no
// progress lines at all, so logs keep only what the tool reports. The line
// is cleared when the step ends. Host thread only.
#pragma once

#include <cstdint>
#include <string>

namespace ORVEX {

class OVI_Progress {
public:
    static constexpr uint64_t kIntervalMs = 100;

    // `label` names the step ("writing Marlin.big"); `total` is the number of
    // items it handles (0: unknown).
    OVI_Progress(std::string label, uint64_t total);
    // Clears the line.
    ~OVI_Progress();
    OVI_Progress(const OVI_Progress&) = delete;
    OVI_Progress& operator=(const OVI_Progress&) = delete;

    // `done` items handled so far.
    void Update(uint64_t done);

    // The text shown for `done` of `total` items.
    static std::string Text(const std::string& label, uint64_t done, uint64_t total);

private:
    std::string ms_Label;
    uint64_t mull_Total;
    uint64_t mull_LastMs = 0;
    bool mb_Shown = false;
    bool mb_Enabled;
};

// The step under way, for work that is called back once per item (the mapping
// hooks) and so cannot hold an OVI_Progress of its own. One step at a time;
// beginning a step ends the one before.
void OVI_BeginStep(std::string label, uint64_t total);
// One more item of the step done; nothing when no step is under way.
void OVI_StepDone();
void OVI_EndStep();
// Frees the step's state (the plug-in's unload).
void OVI_ReleaseProgress();

}  // namespace ORVEX
