// The factory behind the exported entry points: every parameter block and tool
// object the host gets is made and destroyed here, gated by the interface
// version.
#pragma once

#include <cstdint>
#include <new>

#include "orvex/OVC_Interface.h"
#include "plugin/OVI_Splitter.h"
#include "plugin/OVI_Version.h"

namespace ORVEX {

// The products this library hands out.
struct OVC_FactoryPolicy {
    using Params = OVI_SplitterParams;
    using Plugin = OVI_Splitter;
};

template <typename Policy>
class OVC_FactoryInterface {
public:
    // Null when the word at `version` is not 1.1.1.1 or memory runs out.
    virtual OVC_Params* CreateParams(const OVC_Version* version) = 0;
    virtual OVC_PluginInterface* CreatePlugin(const OVC_Version* version) = 0;
    // 0 destroyed; 1 refused (null, or the object reports another version),
    // the object then left untouched.
    virtual int32_t DestroyParams(OVC_Params* params) = 0;
    virtual int32_t DestroyPlugin(OVC_PluginInterface* plugin) = 0;
    virtual ~OVC_FactoryInterface() = default;
};

template <typename Policy>
class OVI_Factory final : public OVC_FactoryInterface<Policy> {
public:
    OVC_Params* CreateParams(const OVC_Version* version) override {
        return _Create<typename Policy::Params>(version);
    }
    OVC_PluginInterface* CreatePlugin(const OVC_Version* version) override {
        return _Create<typename Policy::Plugin>(version);
    }
    int32_t DestroyParams(OVC_Params* params) override { return _Destroy(params); }
    int32_t DestroyPlugin(OVC_PluginInterface* plugin) override { return _Destroy(plugin); }

private:
    template <typename Product>
    static Product* _Create(const OVC_Version* version) {
        if (!OVI_bIsCurrentVersion(version))
            return nullptr;
        return new (std::nothrow) Product();
    }

    // Both host classes have virtual destructors, so deleting through the
    // base destroys the whole object, its members included.
    template <typename Object>
    static int32_t _Destroy(Object* object) {
        if (object == nullptr || !OVI_bIsCurrentVersion(object->GetVersion()))
            return 1;
        delete object;
        return 0;
    }
};

// The one factory, constructed on first use (library attach or the first
// exported factory call) and destroyed at process exit.
OVC_FactoryInterface<OVC_FactoryPolicy>& OVI_GetFactory();

}  // namespace ORVEX
