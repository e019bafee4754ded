// Placeholder for the output writer and the reports until their own files
// land (OVI_SplitterWrite.cpp, OVI_SplitterReports.cpp replace this file).
// Every operation says that it is missing and reports failure.
#include "BIGfile/BIG_Fat.h"
#include "plugin/OVI_Splitter.h"

namespace ORVEX {

int32_t OVI_Splitter::_CreateBigFile(SplitOutput& output) {
    OVC_OutputString("error", "big-file", "Output bigfile '%s' not written: the writer is not in this build",
                     output.s_Name.c_str());
    return -1;
}

void OVI_Splitter::_CopyFiles(BIG_cl_Fat&, const uint32_t*, uint32_t) {
    OVC_OutputString("error", "big-file", "Files not copied: the writer is not in this build");
}

void OVI_Splitter::_CopyFile(uint32_t, BIG_cl_Fat&, uint16_t) {
    OVC_OutputString("error", "big-file", "File not copied: the writer is not in this build");
}

bool OVI_Splitter::_bCompressBigFile(const std::string&) {
    OVC_OutputString("error", "big-file", "No gzip copy: the writer is not in this build");
    return false;
}

void OVI_Splitter::_WriteCriticalReport(CriticalList&) {
    OVC_OutputString("error", "session", "Critical report not written: the reports are not in this build");
}

int32_t OVI_Splitter::_eWriteFinalReport(bool) {
    OVC_OutputString("error", "session", "Final report not written: the reports are not in this build");
    return -1;
}

void OVI_Splitter::_PrintLinkFile(const FileRefRecord&) {
    OVC_OutputString("error", "link-file", "Link file line not written: the reports are not in this build");
}

const char* OVI_Splitter::psz_TypeName(uint32_t) {
    return "";
}

}  // namespace ORVEX
