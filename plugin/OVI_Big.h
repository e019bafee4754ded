// Base of the library's tools: the inspection session over one bigfile.
//
// This build carries the tool's frame only: the version gate of eInit and the
// status of the last operation. The engine behind it (opening the bigfile,
// mapping references, closures) is not in this build, and every operation that
// needs it says so through OVC_OutputString and fails with status 4.
#pragma once

#include <cstdint>

#include "plugin/OVC_Interface.h"

namespace ORVEX {

class OVI_Big : public OVC_PluginInterface {
public:
    OVI_Big() = default;
    ~OVI_Big() override = default;

    // GetVersion and eRun are left to the concrete tool.

    // Refuses (status 1) a block without a version or whose version's first
    // byte is not 1; the other bytes are the concrete tool's to check.
    int32_t eInit(OVC_Params* params) override;
    // Shuts down what eInit started; returns the status unchanged.
    int32_t eDeinit() override;

    int32_t l_Status() const { return ml_Status; }

protected:
    int32_t ml_Status = OVC_Status_Success;
};

}  // namespace ORVEX
