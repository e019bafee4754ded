// The exported factory entry points and the library's attach handler.
#include "plugin/OVI_Factory.h"

#include "BIGfile/BIG_Init.h"
#include "DesignPaTterns/DPT_Singleton.h"
#include "ERRor/ERR_Host.h"
#include "plugin/OVI_BankRegistry.h"
#include "plugin/OVI_Big.h"
#include "plugin/OVI_HostEnvironment.h"
#include "plugin/OVI_ReportProgress.h"

namespace ORVEX {

template class OVC_FactoryInterface<OVC_FactoryPolicy>;
template class OVI_Factory<OVC_FactoryPolicy>;

OVC_FactoryInterface<OVC_FactoryPolicy>& OVI_GetFactory() {
    return DPT::Singleton<OVI_Factory<OVC_FactoryPolicy>>::Instance();
}

}  // namespace ORVEX

namespace {

// Runs when the library is loaded, before any exported function can be called.
__attribute__((constructor)) void OnLibraryAttach() {
    // This library's own copy of the error reporting starts detached; a host
    // that owns the terminal has said so in the environment.
    ERR_AttachFromEnvironment();
    // The engine's reports name the paths the host rewrote for its work folder.
    ERR_SetStderrFilter(&ORVEX::OVI_PathsAsGiven);
    ORVEX::OVI_GetFactory();
}

// The host unloads the plug-in with its tools stopped: what the attach set up
// in this library's copy of the error reporting goes with it.
__attribute__((destructor)) void OnLibraryDetach() {
    // The process-wide objects made here go with the library, in the reverse
    // order of their making: nothing of it runs any more.
    ORVEX::OVI_ReleaseProgress();
    ORVEX::BankRegistry::Release();
    ORVEX::OVI_Big::ReleaseRuntime();
    BIG_ReleaseProcessObjects();
    DPT::Singleton<ORVEX::OVI_Factory<ORVEX::OVC_FactoryPolicy>>::Destroy();
    ERR_DetachTerminal();
}

}  // namespace

extern "C" OVC_Params* OVC_InitParams(const OVC_Version* version) {
    return ORVEX::OVI_GetFactory().CreateParams(version);
}

extern "C" OVC_PluginInterface* OVC_InitPlugin(const OVC_Version* version) {
    return ORVEX::OVI_GetFactory().CreatePlugin(version);
}

extern "C" int32_t OVC_DeinitParams(OVC_Params* params) {
    return ORVEX::OVI_GetFactory().DestroyParams(params);
}

extern "C" int32_t OVC_DeinitPlugin(OVC_PluginInterface* plugin) {
    return ORVEX::OVI_GetFactory().DestroyPlugin(plugin);
}
