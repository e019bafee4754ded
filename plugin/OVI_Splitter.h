// The bigfile splitter, the tool the factory hands to the host.
#pragma once

#include <cstdint>

#include "plugin/OVI_Big.h"

namespace ORVEX {

class OVI_Splitter : public OVI_Big {
public:
    OVI_Splitter() = default;
    ~OVI_Splitter() override = default;

    const OVC_Version* GetVersion() override;
    // Refuses (status 1) any block whose full version word is not 1.1.1.1
    // before anything is started, then runs OVI_Big's eInit.
    int32_t eInit(OVC_Params* params) override;
    int32_t eDeinit() override;
    int32_t eRun() override;
};

}  // namespace ORVEX
