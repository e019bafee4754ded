// The part of the parameter block that the inspection session reads.
//
// The host writes these fields in place, in this order; the splitter's own
// fields follow them (OVI_SplitterParams.h). Text fields are fixed-size,
// NUL-terminated buffers: fill them with OVI_bSetText, which refuses a text
// that does not fit.
#pragma once

#include "plugin/OVC_Interface.h"

namespace ORVEX {

class OVI_BigParams : public OVC_Params {
public:
    static constexpr size_t kPathSize = 64;

    // GetVersion is left to the concrete block.

    char msz_DataRoot[kPathSize] = {};     // 1: folder of the game's loose files
    char msz_BigfilePath[kPathSize] = {};  // 2: the bigfile to open
    bool mb_First = false;                 // 3: copied into the tool, read by nothing
    bool mb_WriteRefsCache = false;        // 4: the full scan writes "refs.bin"
    bool mb_ReportMissing = false;         // 5: report missing files, write the reports
    float mf_Ratio = 0.5f;                 // 6: carried with the block, read by nothing

protected:
    OVI_BigParams() = default;
    OVI_BigParams(const OVI_BigParams&) = default;
    OVI_BigParams& operator=(const OVI_BigParams&) = default;
};

}  // namespace ORVEX
