// Feeds arbitrary files to the three bank parsers, then resolves and looks up
// everything: damaged payloads must give error lines, never a crash, a hang or
// an allocation out of proportion to the input.
//
// Input: a sequence of files, each
//   u8 kind (0: dynamic bank, 1: bank list, 2: element reference list, by value % 3)
//   u8 key (a small key space, so that lists name banks that exist)
//   u16 content size, then that many content bytes (reference table, payload).
#include <cstddef>
#include <cstdint>

#include "BIGfile/BIG_Endian.h"
#include "ERRor/ERR_Assert.h"
#include "plugin/OVI_BankRegistry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ERR_SetInteractive(false);
    ORVEX::BankRegistry registry;
    size_t pos = 0;
    while (size - pos >= 4) {
        const uint8_t kind = data[pos] % 3;
        const uint32_t key = data[pos + 1];
        size_t length = BIG::Endian::Get16(data + pos + 2);
        pos += 4;
        if (length > size - pos)
            length = size - pos;
        ORVEX::BankFileView view;
        if (!ORVEX::BankFileView::bFromContent(key, data + pos, length, &view))
            view = ORVEX::BankFileView{key, nullptr, 0, data + pos, length};
        if (kind == 0)
            registry.ParseDynamicBank(&view);
        else if (kind == 1)
            registry.ParseDynamicBankList(&view);
        else
            registry.ParseElementReferenceList(&view);
        pos += length;
    }
    registry.ResolveAll();
    for (uint32_t key = 0; key < 256; ++key) {
        registry.FindBank(key);
        registry.FindDynamicBankList(key);
        registry.FindElementReferenceList(key);
    }
    registry.Clear();
    return 0;
}
