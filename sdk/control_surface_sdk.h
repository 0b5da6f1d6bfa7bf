// Stand-in declarations of the host's Control Surface plug-in interface: the
// entry and its record, the basic, string and suite-list suites, the suite the
// plug-in registers, the host's host/transport/command suites, and the SDK's
// surface base classes with the suite tables that forward to them.
//
// The record layouts and the names of slots this project never calls are our
// own; the suite names and versions, the slot positions that are called, and
// the error codes are the host's. Slots this project does not use are declared
// as reserved and may be null.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- errors: 32-bit four-character codes ----
typedef int32_t CsError;
#define kCsErrNone ((CsError)0)
#define kCsErrBadParameter ((CsError)0x5061726D)       // 'Parm'
#define kCsErrNotImplemented ((CsError)0x21494D50)     // '!IMP'
#define kCsErrSuiteNotFound ((CsError)0x53214664)      // 'S!Fd'
#define kCsErrStringBufferTooSmall ((CsError)0x73627473)  // 'sbts'

typedef uint8_t CsBool;  // 0 false, 1 true

// Opaque references handed across the interface.
typedef struct CsStringRec* CsString;            // a host string
typedef struct CsSuiteListRec* CsSuiteList;      // the plug-in's suite list
typedef struct CsSuiteRefRec* CsSuiteRef;        // one added suite
typedef struct CsHostRec* CsHostRef;             // the host side of one surface
typedef struct CsTransportRec* CsTransportRef;   // the host's transport
typedef struct CsCommandRec* CsCommandRef;       // the host's command list
typedef struct CsPluginInstanceRec* CsPluginInstanceRef;
typedef struct CsSurfaceRec* CsSurfaceRef;       // the plug-in's surface (a ControlSurfaceBase*)
typedef struct CsSurfaceTransportRec* CsSurfaceTransportRef;  // a ControlSurfaceTransportBase*
typedef struct CsSurfaceCommandRec* CsSurfaceCommandRef;      // a ControlSurfaceCommandBase*

typedef void (*CsReservedProc)(void);  // a slot this interface leaves unused

// ---- SP basic suite: handed to EntryPoint ----
typedef struct CsSPBasicSuite {
    CsError (*AcquireSuite)(const char* name, int32_t version, const void** outSuite);  // 0
    CsError (*ReleaseSuite)(const char* name, int32_t version);                          // 1
} CsSPBasicSuite;

// ---- "ADOBESDK StringSuite" version 1 ----
#define kCsStringSuiteName "ADOBESDK StringSuite"
#define kCsStringSuiteVersion 1
typedef struct CsStringSuite {
    CsError (*DisposeString)(CsString s);                                             // 0
    CsError (*CopyToUTF16String)(CsString s, uint16_t* buffer, uint32_t* ioLength);   // 1
    // ioLength: buffer size in; on 'sbts' the size needed (NUL included) out.
    CsError (*CopyToUTF8String)(CsString s, char* buffer, uint32_t* ioLength);        // 2
    CsError (*AllocateFromUTF16)(const uint16_t* text, CsString* outString);         // 3
} CsStringSuite;

// ---- "SP Suites Suite" version 2 ----
#define kCsSPSuitesSuiteName "SP Suites Suite"
#define kCsSPSuitesSuiteVersion 2
typedef struct CsSPSuitesSuite {
    CsError (*AllocateSuiteList)(int32_t a, int32_t b, CsSuiteList* outList);  // 0
    CsError (*FreeSuiteList)(CsSuiteList list);                               // 1
    CsError (*AddSuite)(CsSuiteList list, int32_t plugin, const char* name, int32_t version,
                        int32_t internalVersion, const void* procs, CsSuiteRef* outSuite);  // 2
} CsSPSuitesSuite;

// ---- the plug-in's suite: "ADOBESDK ControlSurfacePlugin Suite" version 1 ----
#define kCsPluginSuiteName "ADOBESDK ControlSurfacePlugin Suite"
#define kCsPluginSuiteVersion 1
typedef struct CsPluginSuite {
    CsError (*Connect)(CsPluginInstanceRef instance, CsHostRef host, CsSurfaceRef* outSurface);  // 0
    CsError (*Disconnect)(CsPluginInstanceRef instance);                                         // 1
    CsError (*GetIdentifier)(CsPluginInstanceRef instance, CsString* outIdentifier);             // 2
    CsError (*GetDisplayName)(CsPluginInstanceRef instance, CsString* outName);                  // 3
    CsError (*GetSettings)(CsPluginInstanceRef instance, void* settings);                        // 4
    CsError (*SetSettings)(CsPluginInstanceRef instance, const void* settings);                  // 5
    CsError (*HasSetupDialog)(CsPluginInstanceRef instance, CsBool* outHas);                     // 6
    CsError (*RunSetupDialog)(CsPluginInstanceRef instance, void* parent, CsBool* outChanged);   // 7
    CsError (*Suspend)(CsPluginInstanceRef instance);                                            // 8
    CsError (*Resume)(CsPluginInstanceRef instance);                                             // 9
} CsPluginSuite;

// ---- the five entry functions that EntryPoint copies out, in this order ----
typedef struct CsPluginEntryFuncs {
    CsError (*Startup)(void);
    CsError (*Shutdown)(void);
    CsError (*CreatePluginInstance)(CsPluginInstanceRef* outInstance);
    CsError (*DeletePluginInstance)(CsPluginInstanceRef instance);
    CsError (*GetSuiteList)(CsSuiteList* outList);
} CsPluginEntryFuncs;

typedef CsError (*CsEntryPointFunc)(const CsSPBasicSuite* basic, uint32_t majorVersion, uint32_t minorVersion,
                                    uint32_t hostIdentifier, CsPluginEntryFuncs* outEntryFuncs);
#define kCsEntryPointName "EntryPoint"

// ---- host suites, acquired through the SP basic suite ----
#define kCsHostSuiteName "ADOBESDK ControlSurfaceHost Suite"
#define kCsHostSuiteVersion 2
typedef struct CsHostSuite {
    CsError (*GetCommandRef)(CsHostRef host, CsCommandRef* outCommand);        // 0
    CsReservedProc reserved1;                                                  // 1
    CsReservedProc reserved2;                                                  // 2
    CsError (*GetTransportRef)(CsHostRef host, CsTransportRef* outTransport);  // 3
} CsHostSuite;

#define kCsHostTransportSuiteName "ADOBESDK ControlSurfaceHost Transport Suite"
#define kCsHostTransportSuiteVersion 1
typedef struct CsHostTransportSuite {
    CsReservedProc reserved0_11[12];                                          // 0..11
    CsError (*ReversePlay)(CsTransportRef transport);                         // 12
    CsError (*Stop)(CsTransportRef transport);                                // 13
    CsError (*ForwardPlay)(CsTransportRef transport);                         // 14
    CsError (*Jog)(CsTransportRef transport, float amount, float rate, uint32_t flags);  // 15
    CsReservedProc reserved16_18[3];                                          // 16..18
    CsError (*GetPlayState)(CsTransportRef transport, uint8_t* outPlaying);   // 19: 1 while playing
} CsHostTransportSuite;

#define kCsHostCommandSuiteName "ADOBESDK ControlSurfaceHost Command Suite"
#define kCsHostCommandSuiteVersion 1
typedef struct CsHostCommandSuite {
    CsReservedProc reserved0;                                                          // 0
    CsError (*GetCommandCount)(CsCommandRef command, uint32_t* outCount);             // 1
    // Four strings out: context, a further string (disposed unread), id, display name.
    CsError (*GetCommand)(CsCommandRef command, uint32_t index, CsString* outContext, CsString* outExtra,
                          CsString* outId, CsString* outName);                         // 2
    CsError (*ExecuteCommand)(CsCommandRef command, CsString context, CsString id);   // 3: context may be null
} CsHostCommandSuite;

// ---- the surface's suites, registered by the plug-in, called by the host ----
#define kCsSurfaceSuiteName "ADOBESDK ControlSurface Suite"
typedef struct CsSurfaceSuite {
    CsError (*GetTransport)(CsSurfaceRef surface, CsSurfaceTransportRef* outTransport);  // 0
    CsError (*GetCommand)(CsSurfaceRef surface, CsSurfaceCommandRef* outCommand);        // 1
    CsError (*GetMixer)(CsSurfaceRef surface, void** outMixer);                          // 2
    CsError (*GetMarker)(CsSurfaceRef surface, void** outMarker);                        // 3
    CsError (*GetLumetri)(CsSurfaceRef surface, void** outLumetri);                      // 4
    CsError (*GetFlags)(CsSurfaceRef surface, int32_t* outFlags);                        // 5
    CsError (*Update)(CsSurfaceRef surface);                                             // 6
} CsSurfaceSuite;

#define kCsSurfaceTransportSuiteName "ADOBESDK ControlSurface Transport Suite"
#define kCsSurfaceTransportSuiteVersion 1
typedef struct CsSurfaceTransportSuite {
    CsError (*SetPlayState)(CsSurfaceTransportRef transport, CsBool playing);           // 0
    CsError (*SetTime)(CsSurfaceTransportRef transport, int64_t ticks);                 // 1
    CsError (*SetPlaybackSpeed)(CsSurfaceTransportRef transport, float speed);          // 2
} CsSurfaceTransportSuite;

#define kCsSurfaceCommandSuiteName "ADOBESDK ControlSurface Command Suite"
#define kCsSurfaceCommandSuiteVersion 1
typedef struct CsSurfaceCommandSuite {
    CsError (*SetCommandState)(CsSurfaceCommandRef command, CsString id, CsBool enabled);  // 0
} CsSurfaceCommandSuite;

#ifdef __cplusplus
}  // extern "C"

static_assert(offsetof(CsHostTransportSuite, ReversePlay) == 12 * sizeof(void*), "reverse play at 12");
static_assert(offsetof(CsHostTransportSuite, GetPlayState) == 19 * sizeof(void*), "play state at 19");
static_assert(offsetof(CsHostSuite, GetTransportRef) == 3 * sizeof(void*), "GetTransportRef at 3");
static_assert(offsetof(CsHostCommandSuite, ExecuteCommand) == 3 * sizeof(void*), "run command at 3");
static_assert(sizeof(CsPluginSuite) == 10 * sizeof(void*), "the plug-in suite has ten functions");

// The SDK's surface base classes. Each operation answers as the SDK's default
// does; a surface overrides what it provides. The suite tables forward each
// suite function to the operation of the object the reference points to.
namespace adobesdk {

class ControlSurfaceTransportBase;
class ControlSurfaceCommandBase;

class ControlSurfaceBase {
public:
    virtual ~ControlSurfaceBase() = default;
    virtual CsError GetTransport(ControlSurfaceTransportBase** out) {
        if (out) *out = nullptr;
        return kCsErrNone;
    }
    virtual CsError GetCommand(ControlSurfaceCommandBase** out) {
        if (out) *out = nullptr;
        return kCsErrNone;
    }
    virtual CsError GetMixer(void** out) {
        if (out) *out = nullptr;
        return kCsErrNone;
    }
    virtual CsError GetMarker(void** out) {
        if (out) *out = nullptr;
        return kCsErrNone;
    }
    virtual CsError GetLumetri(void** out) {
        if (out) *out = nullptr;
        return kCsErrNone;
    }
    virtual CsError GetFlags(int32_t* out) {
        if (out) *out = 0;
        return kCsErrNone;
    }
    virtual CsError Update() { return kCsErrNotImplemented; }

    // The table registered as "ADOBESDK ControlSurface Suite" (versions 1 and 2).
    static const CsSurfaceSuite* SuiteTable();
};

class ControlSurfaceTransportBase {
public:
    virtual ~ControlSurfaceTransportBase() = default;
    virtual CsError SetPlayState(bool) { return kCsErrNotImplemented; }
    virtual CsError SetTime(int64_t) { return kCsErrNotImplemented; }
    virtual CsError SetPlaybackSpeed(float) { return kCsErrNotImplemented; }

    static const CsSurfaceTransportSuite* SuiteTable();
};

class ControlSurfaceCommandBase {
public:
    virtual ~ControlSurfaceCommandBase() = default;
    virtual CsError SetCommandState(CsString, bool) { return kCsErrNotImplemented; }

    static const CsSurfaceCommandSuite* SuiteTable();
};

namespace detail {
inline ControlSurfaceBase* Surface(CsSurfaceRef s) { return reinterpret_cast<ControlSurfaceBase*>(s); }
inline ControlSurfaceTransportBase* Transport(CsSurfaceTransportRef t) {
    return reinterpret_cast<ControlSurfaceTransportBase*>(t);
}
inline ControlSurfaceCommandBase* Command(CsSurfaceCommandRef c) {
    return reinterpret_cast<ControlSurfaceCommandBase*>(c);
}
}  // namespace detail

inline const CsSurfaceSuite* ControlSurfaceBase::SuiteTable() {
    using detail::Surface;
    static const CsSurfaceSuite table{
        [](CsSurfaceRef s, CsSurfaceTransportRef* out) -> CsError {
            if (!s) return kCsErrBadParameter;
            ControlSurfaceTransportBase* t = nullptr;
            const CsError e = Surface(s)->GetTransport(out ? &t : nullptr);
            if (out) *out = reinterpret_cast<CsSurfaceTransportRef>(t);
            return e;
        },
        [](CsSurfaceRef s, CsSurfaceCommandRef* out) -> CsError {
            if (!s) return kCsErrBadParameter;
            ControlSurfaceCommandBase* c = nullptr;
            const CsError e = Surface(s)->GetCommand(out ? &c : nullptr);
            if (out) *out = reinterpret_cast<CsSurfaceCommandRef>(c);
            return e;
        },
        [](CsSurfaceRef s, void** out) -> CsError { return s ? Surface(s)->GetMixer(out) : kCsErrBadParameter; },
        [](CsSurfaceRef s, void** out) -> CsError { return s ? Surface(s)->GetMarker(out) : kCsErrBadParameter; },
        [](CsSurfaceRef s, void** out) -> CsError { return s ? Surface(s)->GetLumetri(out) : kCsErrBadParameter; },
        [](CsSurfaceRef s, int32_t* out) -> CsError { return s ? Surface(s)->GetFlags(out) : kCsErrBadParameter; },
        [](CsSurfaceRef s) -> CsError { return s ? Surface(s)->Update() : kCsErrBadParameter; },
    };
    return &table;
}

inline const CsSurfaceTransportSuite* ControlSurfaceTransportBase::SuiteTable() {
    using detail::Transport;
    static const CsSurfaceTransportSuite table{
        [](CsSurfaceTransportRef t, CsBool playing) -> CsError {
            return t ? Transport(t)->SetPlayState(playing != 0) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, int64_t ticks) -> CsError {
            return t ? Transport(t)->SetTime(ticks) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, float speed) -> CsError {
            return t ? Transport(t)->SetPlaybackSpeed(speed) : kCsErrBadParameter;
        },
    };
    return &table;
}

inline const CsSurfaceCommandSuite* ControlSurfaceCommandBase::SuiteTable() {
    static const CsSurfaceCommandSuite table{
        [](CsSurfaceCommandRef c, CsString id, CsBool enabled) -> CsError {
            return c ? detail::Command(c)->SetCommandState(id, enabled != 0) : kCsErrBadParameter;
        },
    };
    return &table;
}

}  // namespace adobesdk
#endif
