// vx-host as a control-surface host: loads the control surface before the
// transmit plug-in, connects one surface on the UI thread, and serves the
// host, transport and command suites over the timeline, so the phone's
// transport commands (through the bridge) move it. Lines describing each
// transport call go to `say`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/control_surface_sdk.h"
#include "vx-host/platform.h"
#include "vx-host/timeline.h"
#include "vx-host/ui_thread.h"

namespace Veltrix::host {

// A host string as the String suite hands it out: a 16-byte record whose
// first word points at the host's text (zero: the empty string).
struct HostString;

class CtrlHost {
public:
    using Say = std::function<void(const std::string&)>;
    // One at a time per process: the basic and string suites carry no context.
    CtrlHost(Timeline& timeline, Say say);
    ~CtrlHost();
    CtrlHost(const CtrlHost&) = delete;
    CtrlHost& operator=(const CtrlHost&) = delete;

    // EntryPoint, start-up, the module's suite list, one plug-in instance (its
    // id and name read as host strings), one surface connected on the UI
    // thread. False with *error when the module refuses.
    bool Start(CsEntryPointFunc entry, std::string* error);
    // Tells the surface whether the host plays (its transport's play state).
    void NotifyPlayState(bool playing);
    // Disconnects on the UI thread, deletes the instance, shuts the module down
    // and checks that suites, suite lists and strings were given back.
    void Stop();
    const std::vector<std::string>& problems() const { return problems_; }
    Timeline& timeline() { return timeline_; }
    // "id (name)" as the module's plug-in suite answered them.
    const std::string& pluginName() const { return pluginName_; }

    // --- suite bodies (reached through the process-wide active host) ---
    CsError AcquireSuite(const char* name, std::int32_t version, const void** out);
    CsError ReleaseSuite(const char* name, std::int32_t version);
    CsError Transport(const char* what, const std::function<TimelineView()>& change);
    CsError PlayState(CsBool* out);
    CsError Command(const std::string& id);
    // Strings: every record the String suite fills is counted until disposed.
    CsString NewString(const std::u16string& text);
    // The text of a string this host handed out and that is not yet disposed; false otherwise.
    bool StringText(const CsString* s, std::u16string* out);
    CsError DisposeString(const CsString* s);
    void Problem(const std::string& sentence);

    // The SP Suites suite's lists: the module allocates one and adds its suites to it.
    struct SuiteEntry;
    struct SuiteList;
    CsError AllocateList(CsSuiteListRef* out);
    CsError FreeList(CsSuiteListRef list);
    SuiteList* List(CsSuiteListRef list);  // null for a list this host did not allocate (or freed)
    std::mutex& listMutex() { return mutex_; }

private:
    const void* FindAdded(const char* name, std::int32_t version);
    void SayChange(const std::string& what, const TimelineView& before, const TimelineView& after);
    std::string ReadPluginString(CsError (*get)(CsPluginRef, CsString*), const char* what);

    Timeline& timeline_;
    Say say_;
    std::unique_ptr<UiThread> ui_;
    CsPluginEntryFuncs funcs_{};
    CsPluginRef instance_ = nullptr;
    CsSurfaceRef surface_ = nullptr;
    CsSuiteListRef moduleList_ = nullptr;  // what the module's GetSuiteList answered
    const CsPluginSuite* pluginSuite_ = nullptr;
    std::string pluginName_;
    bool started_ = false;

    std::mutex mutex_;  // guards what follows
    std::map<std::string, int> acquired_;
    std::map<const HostString*, std::unique_ptr<HostString>> strings_;  // alive
    std::map<const SuiteList*, std::unique_ptr<SuiteList>> lists_;       // alive
    std::vector<std::string> problems_;
};

// The control surface that HostMain loads before the transmit plug-in.
struct ControlSurfacePlugin {
    std::unique_ptr<PluginLibrary> library;
    CsEntryPointFunc entry = nullptr;
};

// Loads the control surface named by --ctrl or built next to vx-host, unless
// --no-ctrl. A missing default is not an error: a line says so and *ok stays
// true; a named one that cannot be loaded sets *ok false with the reason in err.
ControlSurfacePlugin LoadControlSurface(bool noCtrl, const std::string& path, std::ostream& out, std::ostream& err,
                                        bool* ok);

}  // namespace Veltrix::host
