// Our declarations of the host's Control Surface plug-in interface, in the
// host's layouts: the SP basic suite handed to EntryPoint, the five entry
// functions, the String and SP Suites suites, the plug-in suite and the three
// surface suites the plug-in registers, the host, host transport and host
// command suites it acquires, and the SDK's surface base classes with the
// suite tables that forward to them.
//
// Written from the Control Surface SDK headers (adobesdk/AdobesdkStringSuite.h,
// adobesdk/config/AdobesdkTypes.h, adobesdk/controlsurface/..., SPBasic.h,
// SPSuites.h) and the Premiere Pro SDK guide's control-surface chapter. The
// names are ours; field order, types, slot order, constant values and packing
// are the SDK's. The adobesdk headers wrap their declarations in
// #pragma pack(push, 8) (adobesdk/config/PreConfig.h), natural alignment on
// x64; every function uses the platform's one C calling convention of x64
// (SPAPI is empty on Windows). sdk/sdk_layout_x64.h holds the documented x64
// sizes and offsets they are checked against.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 8)

// ---- errors: SPErr, 32-bit four-character codes (SPErrorCodes.h, AdobesdkStringSuite.h) ----
typedef int32_t CsError;
#define kCsErrNone ((CsError)0)
#define kCsErrBadParameter ((CsError)0x5061726D)          // 'Parm'
#define kCsErrNotImplemented ((CsError)0x21494D50)        // '!IMP'
#define kCsErrSuiteNotFound ((CsError)0x53214664)         // 'S!Fd'
#define kCsErrStringBufferTooSmall ((CsError)0x73627473)  // 'sbts'
#define kCsErrStringNotFound ((CsError)0x73746E66)        // 'stnf'

// ---- basic types: adobesdk/config/AdobesdkTypes.h ----
typedef uint8_t CsBool;         // ADOBESDK_Boolean: 0 false, 1 true (8 bits)
typedef uint16_t CsUtf16Char;   // ADOBESDK_UTF16Char
typedef uint8_t CsUtf8Char;     // ADOBESDK_UTF8Char
typedef int32_t CsSpBoolean;    // SPBoolean (SPTypes.h): 32 bits on Windows

// layout: AdobesdkTypes.h, ADOBESDK_String: a 16-byte record the host fills
// and the plug-in passes by pointer; only the String suite reads it.
typedef struct CsString {
    int64_t opaque[2];
} CsString;

// Host identifier handed to EntryPoint (ControlSurfaceTypes.h, ADOBESDK_ControlSurfaceHostID).
typedef uint32_t CsHostId;
enum { kCsHostAudition = 0, kCsHostPremierePro = 1 };

// Opaque references (ControlSurfaceTypes.h, SPSuites.h, SPPlugs.h, SPStrngs.h).
typedef struct CsPluginRec* CsPluginRef;                    // the plug-in's instance
typedef struct CsHostRec* CsHostRef;                        // the host side of one surface
typedef struct CsSurfaceRec* CsSurfaceRef;                  // the plug-in's surface
typedef struct CsSurfaceTransportRec* CsSurfaceTransportRef;
typedef struct CsSurfaceCommandRec* CsSurfaceCommandRef;
typedef struct CsSurfaceMixerRec* CsSurfaceMixerRef;
typedef struct CsSurfaceMarkerRec* CsSurfaceMarkerRef;
typedef struct CsSurfaceLumetriRec* CsSurfaceLumetriRef;
typedef struct CsHostCommandRec* CsHostCommandRef;
typedef struct CsHostTransportRec* CsHostTransportRef;
typedef struct CsHostMarkerRec* CsHostMarkerRef;
typedef struct CsHostMixerRec* CsHostMixerRef;
typedef struct CsHostLumetriRec* CsHostLumetriRef;
typedef struct CsSuiteListRec* CsSuiteListRef;              // SPSuiteListRef
typedef struct CsSuiteRec* CsSuiteRef;                      // SPSuiteRef
typedef struct CsSuiteListIteratorRec* CsSuiteListIteratorRef;
typedef struct CsSpPluginRec* CsSpPluginRef;                // SPPluginRef
typedef struct CsStringPoolRec* CsStringPoolRef;            // SPStringPoolRef
typedef struct CsSpPluginListRec* CsSpPluginListRef;        // SPPluginListRef

// ---- the SP basic suite, handed to EntryPoint. layout: SPBasic.h, SPBasicSuite (seven slots) ----
typedef struct CsSPBasicSuite {
    CsError (*AcquireSuite)(const char* name, int32_t version, const void** outSuite);  // 0
    CsError (*ReleaseSuite)(const char* name, int32_t version);                          // 1
    CsSpBoolean (*IsEqual)(const char* a, const char* b);                                // 2
    CsError (*AllocateBlock)(size_t size, void** outBlock);                              // 3
    CsError (*FreeBlock)(void* block);                                                   // 4
    CsError (*ReallocateBlock)(void* block, size_t newSize, void** outBlock);            // 5
    CsError (*Undefined)(void);                                                          // 6
} CsSPBasicSuite;

// ---- "ADOBESDK StringSuite" version 1. layout: AdobesdkStringSuite.h, ADOBESDK_StringSuite1 ----
#define kCsStringSuiteName "ADOBESDK StringSuite"
#define kCsStringSuiteVersion 1
typedef struct CsStringSuite {
    // Disposing an empty (zero) string is allowed.
    CsError (*DisposeString)(const CsString* s);                                           // 0
    CsError (*AllocateFromUTF8)(const CsUtf8Char* text, CsString* outString);              // 1
    // ioLength: the buffer's size in elements in; the elements copied (NUL
    // included) out, or on 'sbts' the size needed.
    CsError (*CopyToUTF8String)(const CsString* s, CsUtf8Char* buffer, uint32_t* ioLength);    // 2
    CsError (*AllocateFromUTF16)(const CsUtf16Char* text, CsString* outString);            // 3
    CsError (*CopyToUTF16String)(const CsString* s, CsUtf16Char* buffer, uint32_t* ioLength);  // 4
} CsStringSuite;

// ---- "SP Suites Suite" version 2. layout: SPSuites.h, SPSuitesSuite (fifteen slots) ----
#define kCsSPSuitesSuiteName "SP Suites Suite"
#define kCsSPSuitesSuiteVersion 2
typedef struct CsSPSuitesSuite {
    // stringPool and plugins null: the runtime's own (kSPRuntimeStringPool, kSPRuntimePluginList).
    CsError (*AllocateSuiteList)(CsStringPoolRef stringPool, CsSpPluginListRef plugins,
                                 CsSuiteListRef* outList);                                         // 0
    CsError (*FreeSuiteList)(CsSuiteListRef list);                                                 // 1
    CsError (*AddSuite)(CsSuiteListRef list, CsSpPluginRef host, const char* name, int32_t apiVersion,
                        int32_t internalVersion, const void* procs, CsSuiteRef* outSuite);         // 2
    CsError (*AcquireSuite)(CsSuiteListRef list, const char* name, int32_t apiVersion, int32_t internalVersion,
                            const void** outProcs);                                                // 3
    CsError (*ReleaseSuite)(CsSuiteListRef list, const char* name, int32_t apiVersion,
                            int32_t internalVersion);                                              // 4
    CsError (*FindSuite)(CsSuiteListRef list, const char* name, int32_t apiVersion, int32_t internalVersion,
                         CsSuiteRef* outSuite);                                                    // 5
    CsError (*NewSuiteListIterator)(CsSuiteListRef list, CsSuiteListIteratorRef* outIterator);   // 6
    CsError (*NextSuite)(CsSuiteListIteratorRef iterator, CsSuiteRef* outSuite);                 // 7
    CsError (*DeleteSuiteListIterator)(CsSuiteListIteratorRef iterator);                          // 8
    CsError (*GetSuiteHost)(CsSuiteRef suite, CsSpPluginRef* outPlugin);                          // 9
    CsError (*GetSuiteName)(CsSuiteRef suite, const char** outName);                              // 10
    CsError (*GetSuiteAPIVersion)(CsSuiteRef suite, int32_t* outVersion);                         // 11
    CsError (*GetSuiteInternalVersion)(CsSuiteRef suite, int32_t* outVersion);                    // 12
    CsError (*GetSuiteProcs)(CsSuiteRef suite, const void** outProcs);                            // 13
    CsError (*GetSuiteAcquireCount)(CsSuiteRef suite, int32_t* outCount);                         // 14
} CsSPSuitesSuite;

// ---- the plug-in's suite: "ADOBESDK ControlSurfacePlugin Suite" version 1 ----
// layout: ControlSurfacePluginSuite.h, ADOBESDK_ControlSurfacePluginSuite1 (ten slots).
#define kCsPluginSuiteName "ADOBESDK ControlSurfacePlugin Suite"
#define kCsPluginSuiteVersion 1
typedef struct CsPluginSuite {
    CsError (*Connect)(CsPluginRef plugin, CsHostRef host, CsSurfaceRef* outSurface);     // 0
    CsError (*Disconnect)(CsPluginRef plugin);                                             // 1
    CsError (*GetPluginID)(CsPluginRef plugin, CsString* outId);                           // 2
    CsError (*GetPluginDisplayString)(CsPluginRef plugin, CsString* outName);              // 3
    CsError (*GetPluginSettings)(CsPluginRef plugin, CsString* outSettings);               // 4
    CsError (*SetPluginSettings)(CsPluginRef plugin, const CsString* settings);            // 5
    CsError (*HasSettingsDialog)(CsPluginRef plugin, CsBool* outHas);                      // 6
    // parentWindow: HWND on Windows, NSWindow* on macOS.
    CsError (*RunSettingsDialog)(CsPluginRef plugin, void* parentWindow, CsBool* outChanged);  // 7
    CsError (*Suspend)(CsPluginRef plugin);                                                // 8
    CsError (*Resume)(CsPluginRef plugin);                                                 // 9
} CsPluginSuite;

// ---- the five entry functions EntryPoint copies out, in this order ----
// layout: ControlSurfacePluginSuite.h, ADOBESDK_ControlSurfacePluginFuncs.
typedef struct CsPluginEntryFuncs {
    CsError (*Startup)(void);
    CsError (*Shutdown)(void);
    CsError (*CreatePluginInstance)(CsPluginRef* outPlugin);
    CsError (*DeletePluginInstance)(CsPluginRef plugin);
    CsError (*GetSuiteList)(CsSuiteListRef* outList);
} CsPluginEntryFuncs;

// ControlSurfacePluginSuite.h, ADOBESDK_ControlSurfaceEntryPoint.
typedef CsError (*CsEntryPointFunc)(CsSPBasicSuite* basic, uint32_t majorVersion, uint32_t minorVersion,
                                    CsHostId hostIdentifier, CsPluginEntryFuncs* outEntryFuncs);
#define kCsEntryPointName "EntryPoint"

// ---- host suites, acquired through the SP basic suite ----
// layout: ControlSurfaceHostSuite.h, ADOBESDK_ControlSurfaceHostSuite2 (five slots).
#define kCsHostSuiteName "ADOBESDK ControlSurfaceHost Suite"
#define kCsHostSuiteVersion 2
typedef struct CsHostSuite {
    CsError (*GetCommandRef)(CsHostRef host, CsHostCommandRef* outCommand);        // 0
    CsError (*GetMarkerRef)(CsHostRef host, CsHostMarkerRef* outMarker);           // 1
    CsError (*GetMixerRef)(CsHostRef host, CsHostMixerRef* outMixer);              // 2
    CsError (*GetTransportRef)(CsHostRef host, CsHostTransportRef* outTransport);  // 3
    CsError (*GetLumetriRef)(CsHostRef host, CsHostLumetriRef* outLumetri);        // 4 (version 2)
} CsHostSuite;

// layout: ControlSurfaceHostTransportSuite.h, ADOBESDK_ControlSurfaceHostTransportSuite1 (21 slots).
#define kCsHostTransportSuiteName "ADOBESDK ControlSurfaceHost Transport Suite"
#define kCsHostTransportSuiteVersion 1
typedef struct CsHostTransportSuite {
    CsError (*BeginRewind)(CsHostTransportRef transport);    // 0
    CsError (*EndRewind)(CsHostTransportRef transport);      // 1
    CsError (*BeginForward)(CsHostTransportRef transport);   // 2
    CsError (*EndForward)(CsHostTransportRef transport);     // 3
    CsError (*Stop)(CsHostTransportRef transport);           // 4
    CsError (*Play)(CsHostTransportRef transport);           // 5
    CsError (*Record)(CsHostTransportRef transport);         // 6
    CsError (*Pause)(CsHostTransportRef transport);          // 7
    CsError (*ToggleCycle)(CsHostTransportRef transport);    // 8
    CsError (*GotoPrevious)(CsHostTransportRef transport);   // 9
    CsError (*GotoNext)(CsHostTransportRef transport);       // 10
    CsError (*GotoStart)(CsHostTransportRef transport);      // 11
    CsError (*ShuttleLeft)(CsHostTransportRef transport);    // 12: J, reverse play
    CsError (*ShuttleStop)(CsHostTransportRef transport);    // 13: K, stop
    CsError (*ShuttleRight)(CsHostTransportRef transport);   // 14: L, forward play
    // The jog wheel turned ticksMoved (may be negative) of ticksPerRevolution;
    // shuttle true: shuttle, false: move the current time.
    CsError (*JogDial)(CsHostTransportRef transport, float ticksMoved, float ticksPerRevolution,
                       CsBool shuttle);                                                        // 15
    CsError (*GetTimeDisplayString)(CsHostTransportRef transport, uint32_t* outDisplayMode, uint32_t maxLength,
                                    CsString* outText);                                        // 16
    CsError (*GetRecordState)(CsHostTransportRef transport, CsBool* outState);                 // 17
    CsError (*GetStopState)(CsHostTransportRef transport, CsBool* outState);                   // 18
    CsError (*GetPlayState)(CsHostTransportRef transport, CsBool* outState);                   // 19: 1 while playing
    CsError (*GetSoloState)(CsHostTransportRef transport, CsBool* outState);                   // 20
} CsHostTransportSuite;

// layout: ControlSurfaceHostCommandSuite.h, ADOBESDK_ControlSurfaceHostCommandSuite1 (four slots).
#define kCsHostCommandSuiteName "ADOBESDK ControlSurfaceHost Command Suite"
#define kCsHostCommandSuiteVersion 1
typedef struct CsHostCommandSuite {
    CsError (*Navigate)(CsHostCommandRef command, CsBool keyDown, int32_t deltaX, int32_t deltaY,
                        CsBool zoom);                                                           // 0
    CsError (*GetCommandCount)(CsHostCommandRef command, uint32_t* outCount);                  // 1
    // Four strings out: context id, context display name, command id, command display name.
    CsError (*GetCommand)(CsHostCommandRef command, uint32_t index, CsString* outContextId,
                          CsString* outContextName, CsString* outCommandId, CsString* outCommandName);  // 2
    // context may be null: the global context.
    CsError (*ExecuteCommand)(CsHostCommandRef command, const CsString* contextId,
                              const CsString* commandId);                                       // 3
} CsHostCommandSuite;

// ---- the surface's suites, registered by the plug-in, called by the host ----
// layout: ControlSurfaceSuite.h, ADOBESDK_ControlSurfaceSuite2 (eight slots;
// version 1 is the same table).
#define kCsSurfaceSuiteName "ADOBESDK ControlSurface Suite"
#define kCsSurfaceSuiteVersion1 1
#define kCsSurfaceSuiteVersion2 2
enum { kCsSurfaceFlagCanDisplayUnicode = 1 };
typedef struct CsSurfaceSuite {
    CsError (*GetConfigIdentifier)(CsSurfaceRef surface, CsString* outIdentifier);           // 0
    CsError (*GetControlSurfaceFlags)(CsSurfaceRef surface, uint32_t* outFlags);              // 1
    CsError (*GetTransportRef)(CsSurfaceRef surface, CsSurfaceTransportRef* outTransport);    // 2
    CsError (*GetMixerRef)(CsSurfaceRef surface, CsSurfaceMixerRef* outMixer);                // 3
    CsError (*GetMarkerRef)(CsSurfaceRef surface, CsSurfaceMarkerRef* outMarker);             // 4
    CsError (*GetCommandRef)(CsSurfaceRef surface, CsSurfaceCommandRef* outCommand);          // 5
    CsError (*Update)(CsSurfaceRef surface);                                                  // 6
    CsError (*GetLumetriRef)(CsSurfaceRef surface, CsSurfaceLumetriRef* outLumetri);          // 7 (version 2)
} CsSurfaceSuite;

// layout: ControlSurfaceTransportSuite.h, ADOBESDK_ControlSurfaceTransportSuite1 (eight slots).
#define kCsSurfaceTransportSuiteName "ADOBESDK ControlSurface Transport Suite"
#define kCsSurfaceTransportSuiteVersion 1
typedef struct CsSurfaceTransportSuite {
    CsError (*SetStopState)(CsSurfaceTransportRef transport, CsBool state);     // 0
    CsError (*SetPlayState)(CsSurfaceTransportRef transport, CsBool state);     // 1
    CsError (*SetRecordState)(CsSurfaceTransportRef transport, CsBool state);   // 2
    CsError (*SetRewindState)(CsSurfaceTransportRef transport, CsBool state);   // 3
    CsError (*SetForwardState)(CsSurfaceTransportRef transport, CsBool state);  // 4
    CsError (*SetCycleState)(CsSurfaceTransportRef transport, CsBool state);    // 5
    CsError (*SetPauseState)(CsSurfaceTransportRef transport, CsBool state);    // 6
    CsError (*SetTimeDisplay)(CsSurfaceTransportRef transport, uint32_t displayMode,
                              const CsString* text);                            // 7
} CsSurfaceTransportSuite;

// layout: ControlSurfaceCommandSuite.h, ADOBESDK_ControlSurfaceCommandSuite1 (five slots).
#define kCsSurfaceCommandSuiteName "ADOBESDK ControlSurface Command Suite"
#define kCsSurfaceCommandSuiteVersion 1
typedef struct CsSurfaceCommandSuite {
    CsError (*GetUserButtonCount)(CsSurfaceCommandRef command, uint32_t* outCount);                         // 0
    CsError (*GetUserButtonIDAtIndex)(CsSurfaceCommandRef command, uint32_t index, CsString* outButtonId);   // 1
    CsError (*GetUserButtonDisplayName)(CsSurfaceCommandRef command, const CsString* buttonId,
                                        CsString* outName);                                                 // 2
    CsError (*SetUserButtonCommand)(CsSurfaceCommandRef command, const CsString* buttonId,
                                    const CsString* contextId, const CsString* commandId);                  // 3
    CsError (*GetUserButtonCommand)(CsSurfaceCommandRef command, const CsString* buttonId,
                                    CsString* outContextId, CsString* outCommandId);                        // 4
} CsSurfaceCommandSuite;

#pragma pack(pop)

#ifdef __cplusplus
}  // extern "C"

// The SDK's surface base classes (ControlSurfaceBase.h,
// ControlSurfaceTransportBase.h, ControlSurfaceCommandBase.h and the
// wrappers beside them). Each operation answers as the SDK's default does; a
// surface overrides what it provides. The suite tables forward each suite
// function to the operation of the object the reference points to: a
// CsSurfaceRef is a ControlSurfaceBase*, a CsSurfaceTransportRef a
// ControlSurfaceTransportBase*, a CsSurfaceCommandRef a ControlSurfaceCommandBase*.
namespace adobesdk {

class ControlSurfaceBase {
public:
    virtual ~ControlSurfaceBase() = default;
    virtual CsError GetConfigIdentifier(CsString*) const { return kCsErrNotImplemented; }
    virtual CsError GetControlSurfaceFlags(uint32_t* out) const {
        if (out) *out = 0;
        return kCsErrNone;
    }
    virtual CsError GetTransportRef(CsSurfaceTransportRef* out) { return Null(out); }
    virtual CsError GetMixerRef(CsSurfaceMixerRef* out) { return Null(out); }
    virtual CsError GetMarkerRef(CsSurfaceMarkerRef* out) { return Null(out); }
    virtual CsError GetCommandRef(CsSurfaceCommandRef* out) { return Null(out); }
    virtual CsError GetLumetriRef(CsSurfaceLumetriRef* out) { return Null(out); }
    virtual CsError Update() { return kCsErrNotImplemented; }

    // The table registered as "ADOBESDK ControlSurface Suite" versions 1 and 2.
    static const CsSurfaceSuite* SuiteTable();
    // Adds that table at version 1 and at version 2; results are not looked at.
    static void RegisterSuite(const CsSPSuitesSuite* suites, CsSuiteListRef list);

private:
    template <typename Ref>
    static CsError Null(Ref* out) {
        if (out) *out = nullptr;
        return kCsErrNone;
    }
};

class ControlSurfaceTransportBase {
public:
    virtual ~ControlSurfaceTransportBase() = default;
    virtual CsError SetStopState(bool) { return kCsErrNotImplemented; }
    virtual CsError SetPlayState(bool) { return kCsErrNotImplemented; }
    virtual CsError SetRecordState(bool) { return kCsErrNotImplemented; }
    virtual CsError SetRewindState(bool) { return kCsErrNotImplemented; }
    virtual CsError SetForwardState(bool) { return kCsErrNotImplemented; }
    virtual CsError SetCycleState(bool) { return kCsErrNotImplemented; }
    virtual CsError SetPauseState(bool) { return kCsErrNotImplemented; }
    virtual CsError SetTimeDisplay(uint32_t, const CsString*) { return kCsErrNotImplemented; }

    static const CsSurfaceTransportSuite* SuiteTable();
    static void RegisterSuite(const CsSPSuitesSuite* suites, CsSuiteListRef list);
};

class ControlSurfaceCommandBase {
public:
    virtual ~ControlSurfaceCommandBase() = default;
    virtual CsError GetUserButtonCount(uint32_t*) const { return kCsErrNotImplemented; }
    virtual CsError GetUserButtonIDAtIndex(uint32_t, CsString*) const { return kCsErrNotImplemented; }
    virtual CsError GetUserButtonDisplayName(const CsString*, CsString*) const { return kCsErrNotImplemented; }
    virtual CsError SetUserButtonCommandID(const CsString*, const CsString*, const CsString*) {
        return kCsErrNotImplemented;
    }
    virtual CsError GetUserButtonCommandID(const CsString*, CsString*, CsString*) const {
        return kCsErrNotImplemented;
    }

    static const CsSurfaceCommandSuite* SuiteTable();
    static void RegisterSuite(const CsSPSuitesSuite* suites, CsSuiteListRef list);
};

namespace detail {
inline ControlSurfaceBase* Surface(CsSurfaceRef s) { return reinterpret_cast<ControlSurfaceBase*>(s); }
inline ControlSurfaceTransportBase* Transport(CsSurfaceTransportRef t) {
    return reinterpret_cast<ControlSurfaceTransportBase*>(t);
}
inline ControlSurfaceCommandBase* Command(CsSurfaceCommandRef c) {
    return reinterpret_cast<ControlSurfaceCommandBase*>(c);
}
inline void Add(const CsSPSuitesSuite* suites, CsSuiteListRef list, const char* name, int32_t version,
                const void* procs) {
    if (!suites || !suites->AddSuite) return;
    CsSuiteRef ref = nullptr;
    suites->AddSuite(list, nullptr, name, version, version, procs, &ref);
}
}  // namespace detail

inline const CsSurfaceSuite* ControlSurfaceBase::SuiteTable() {
    using detail::Surface;
    static const CsSurfaceSuite table{
        [](CsSurfaceRef s, CsString* out) -> CsError {
            return s ? Surface(s)->GetConfigIdentifier(out) : kCsErrBadParameter;
        },
        [](CsSurfaceRef s, uint32_t* out) -> CsError {
            return s ? Surface(s)->GetControlSurfaceFlags(out) : kCsErrBadParameter;
        },
        [](CsSurfaceRef s, CsSurfaceTransportRef* out) -> CsError {
            return s ? Surface(s)->GetTransportRef(out) : kCsErrBadParameter;
        },
        [](CsSurfaceRef s, CsSurfaceMixerRef* out) -> CsError {
            return s ? Surface(s)->GetMixerRef(out) : kCsErrBadParameter;
        },
        [](CsSurfaceRef s, CsSurfaceMarkerRef* out) -> CsError {
            return s ? Surface(s)->GetMarkerRef(out) : kCsErrBadParameter;
        },
        [](CsSurfaceRef s, CsSurfaceCommandRef* out) -> CsError {
            return s ? Surface(s)->GetCommandRef(out) : kCsErrBadParameter;
        },
        [](CsSurfaceRef s) -> CsError { return s ? Surface(s)->Update() : kCsErrBadParameter; },
        [](CsSurfaceRef s, CsSurfaceLumetriRef* out) -> CsError {
            return s ? Surface(s)->GetLumetriRef(out) : kCsErrBadParameter;
        },
    };
    return &table;
}

inline void ControlSurfaceBase::RegisterSuite(const CsSPSuitesSuite* suites, CsSuiteListRef list) {
    detail::Add(suites, list, kCsSurfaceSuiteName, kCsSurfaceSuiteVersion1, SuiteTable());
    detail::Add(suites, list, kCsSurfaceSuiteName, kCsSurfaceSuiteVersion2, SuiteTable());
}

inline const CsSurfaceTransportSuite* ControlSurfaceTransportBase::SuiteTable() {
    using detail::Transport;
    static const CsSurfaceTransportSuite table{
        [](CsSurfaceTransportRef t, CsBool v) -> CsError {
            return t ? Transport(t)->SetStopState(v != 0) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, CsBool v) -> CsError {
            return t ? Transport(t)->SetPlayState(v != 0) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, CsBool v) -> CsError {
            return t ? Transport(t)->SetRecordState(v != 0) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, CsBool v) -> CsError {
            return t ? Transport(t)->SetRewindState(v != 0) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, CsBool v) -> CsError {
            return t ? Transport(t)->SetForwardState(v != 0) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, CsBool v) -> CsError {
            return t ? Transport(t)->SetCycleState(v != 0) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, CsBool v) -> CsError {
            return t ? Transport(t)->SetPauseState(v != 0) : kCsErrBadParameter;
        },
        [](CsSurfaceTransportRef t, uint32_t mode, const CsString* text) -> CsError {
            return t ? Transport(t)->SetTimeDisplay(mode, text) : kCsErrBadParameter;
        },
    };
    return &table;
}

inline void ControlSurfaceTransportBase::RegisterSuite(const CsSPSuitesSuite* suites, CsSuiteListRef list) {
    detail::Add(suites, list, kCsSurfaceTransportSuiteName, kCsSurfaceTransportSuiteVersion, SuiteTable());
}

inline const CsSurfaceCommandSuite* ControlSurfaceCommandBase::SuiteTable() {
    using detail::Command;
    static const CsSurfaceCommandSuite table{
        [](CsSurfaceCommandRef c, uint32_t* out) -> CsError {
            return c ? Command(c)->GetUserButtonCount(out) : kCsErrBadParameter;
        },
        [](CsSurfaceCommandRef c, uint32_t index, CsString* out) -> CsError {
            return c ? Command(c)->GetUserButtonIDAtIndex(index, out) : kCsErrBadParameter;
        },
        [](CsSurfaceCommandRef c, const CsString* id, CsString* out) -> CsError {
            return c ? Command(c)->GetUserButtonDisplayName(id, out) : kCsErrBadParameter;
        },
        [](CsSurfaceCommandRef c, const CsString* id, const CsString* ctx, const CsString* cmd) -> CsError {
            return c ? Command(c)->SetUserButtonCommandID(id, ctx, cmd) : kCsErrBadParameter;
        },
        [](CsSurfaceCommandRef c, const CsString* id, CsString* ctx, CsString* cmd) -> CsError {
            return c ? Command(c)->GetUserButtonCommandID(id, ctx, cmd) : kCsErrBadParameter;
        },
    };
    return &table;
}

inline void ControlSurfaceCommandBase::RegisterSuite(const CsSPSuitesSuite* suites, CsSuiteListRef list) {
    detail::Add(suites, list, kCsSurfaceCommandSuiteName, kCsSurfaceCommandSuiteVersion, SuiteTable());
}

}  // namespace adobesdk
#endif
