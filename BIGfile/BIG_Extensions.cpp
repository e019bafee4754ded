#include "BIGfile/BIG_Extensions.h"

#include "BIGfile/BIG_TextField.h"
#include "ERRor/ERR_Assert.h"

namespace {

constexpr const char* kTable[BIG_Extensions::kCount] = {
    "",                                                                    // 0
    "ini", "ldb", "dup", "wor", "wot", "woc", "gol", "iol", "wal", "lay",  // 1-10
    "rec", "rsy", "gao", "way", "nas", "cur", "wel", "gtm", "seq", "cov",  // 11-20
    "vgl", "vgc", "vgg", "ssq", "got", "---", "msh", "vxc", "vxt", "mat",  // 21-30
    "sha", "tga", "---", "---", "ske", "sfx", "---", "shd", "she", "dst",  // 31-40
    "cub", "---", "tes", "tsc", "---", "---", "---", "acb", "act", "ani",  // 41-50
    "aev", "snk", "---", "lor", "---", "---", "---", "---", "---", "end",  // 51-60
    "sam", "sin", "smx", "svs", "---", "---", "---", "---", "---", "---",  // 61-70
    "ai",  "aid", "ste", "fct", "var", "aiv", "stt", "zar", "zon", "col",  // 71-80
    "cot", "gml", "gmt", "phs", "---", "ccm", "dbk", "dbl", "dbr", "edi",  // 81-90
    "hel", "hsl", "---", "mta", "wil", "---", "mmf", "---", "fbx", "dds",  // 91-100
    "png", "bmp", "jpg", "ppm", "grd", "dlc", "mmt", "par", "ard", "med",  // 101-110
    "lab", "feu", "ffd", "top", "msd", "nav", "skp", "ago", "afx", "abk",  // 111-120
    "cst", "syw", "sym", "aer", "ghk", "txd", "fbk", "pfx", "eps", "psh",  // 121-130
    "epl", "lgr", "acp", "ask", "swl", "ano", "ann", "rsf", "led", "shg",  // 131-140
    "cld", "cvc", "aee", "ast", "prp", "syd",                              // 141-146
};

}  // namespace

namespace BIG_Extensions {

uint32_t ul_Size() {
    return kCount;
}

const char* sz_Get(uint32_t index) {
    if (index >= kCount) {
        ERR_X_Raise("Assert",
                    "Extension error : a new extension may have been added without updating the MAX value "
                    "accordingly");
        return "";
    }
    return kTable[index];
}

void GetText(uint32_t index, char (&out)[4]) {
    BIG_CopyTextField(out, sizeof out, sz_Get(index));
}

}  // namespace BIG_Extensions
