// The x64 sizes and offsets of the host SDK records and tables as the SDK
// documents them, written down by hand from the headers named in
// sdk/transmit_sdk.h and sdk/control_surface_sdk.h (field order and types,
// #pragma pack(push, 1) for the Premiere transmit records and the piSuites
// record, natural alignment for the colour-space record and for the
// control-surface SDK). They are literal numbers, never computed from our
// declarations, so a mistake in one cannot hide in the other.
//
// Each row: our record, our field, the SDK's record, the SDK's field, the
// documented byte offset and the documented size in bytes. Each record's
// total size has its own row. The rows become named constants
// (vx_sdk_x64::pr::tmInstance::inPlayID) for tests that fill raw host buffers,
// static_asserts below, and a table a test walks (tests/sdk).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/control_surface_sdk.h"
#include "sdk/transmit_sdk.h"

// ---- Premiere Pro SDK: PrSDKTransmit.h and the headers it includes ----
#define VX_SDK_X64_TRANSMIT_FIELDS(X)                                                 \
    /* PrSDKTypes.h */                                                                \
    X(TxRect, left, prRect, left, 0, 4)                                              \
    X(TxRect, bottom, prRect, bottom, 12, 4)                                         \
    X(TxSdkString, opaque, PrSDKString, opaque, 0, 16)                               \
    /* PrSDKColorSEICodes.h (packed) */                                               \
    X(TxSeiColorCodes, colorPrimaries, prSEIColorCodesRec, colorPrimariesCode, 0, 4) \
    X(TxSeiColorCodes, sceneReferred, prSEIColorCodesRec, isSceneReferred, 24, 4)    \
    /* PrSDKColorProfile.h (natural alignment) */                                     \
    X(TxRawColorProfile, bufferSize, RawColorProfileRec, ioBufferSize, 0, 4)         \
    X(TxRawColorProfile, destinationBuffer, RawColorProfileRec, inDestinationBuffer, 8, 8) \
    X(TxRawColorProfile, name, RawColorProfileRec, outName, 16, 16)                  \
    X(TxColorSpace, privateData, ColorSpaceRec, inPrivateData, 0, 8)                 \
    X(TxColorSpace, colorSpaceType, ColorSpaceRec, outColorSpaceType, 8, 4)          \
    X(TxColorSpace, profile, ColorSpaceRec, ioProfileRec, 16, 32)                    \
    X(TxColorSpace, seiCodes, ColorSpaceRec, outSEICodesRec, 48, 28)                 \
    /* tmStdParms */                                                                  \
    X(TxStdParms, pluginIndex, tmStdParms, inPluginIndex, 0, 4)                      \
    X(TxStdParms, serializedData, tmStdParms, ioSerializedPluginData, 4, 8)          \
    X(TxStdParms, serializedDataSize, tmStdParms, ioSerializedPluginDataSize, 12, 8) \
    X(TxStdParms, privatePluginData, tmStdParms, ioPrivatePluginData, 20, 8)         \
    X(TxStdParms, suites, tmStdParms, piSuites, 28, 8)                               \
    /* tmPluginInfo */                                                                \
    X(TxPluginInfo, identifier, tmPluginInfo, outIdentifier, 0, 37)                  \
    X(TxPluginInfo, priority, tmPluginInfo, outPriority, 37, 4)                      \
    X(TxPluginInfo, audioAvailable, tmPluginInfo, outAudioAvailable, 41, 4)          \
    X(TxPluginInfo, audioDefaultEnabled, tmPluginInfo, outAudioDefaultEnabled, 45, 4) \
    X(TxPluginInfo, clockAvailable, tmPluginInfo, outClockAvailable, 49, 4)          \
    X(TxPluginInfo, videoAvailable, tmPluginInfo, outVideoAvailable, 53, 4)          \
    X(TxPluginInfo, videoDefaultEnabled, tmPluginInfo, outVideoDefaultEnabled, 57, 4) \
    X(TxPluginInfo, displayName, tmPluginInfo, outDisplayName, 61, 512)              \
    X(TxPluginInfo, hideInUI, tmPluginInfo, outHideInUI, 573, 4)                     \
    X(TxPluginInfo, hasSetup, tmPluginInfo, outHasSetup, 577, 4)                     \
    X(TxPluginInfo, interfaceVersion, tmPluginInfo, outInterfaceVersion, 581, 4)     \
    X(TxPluginInfo, pushAudioAvailable, tmPluginInfo, outPushAudioAvailable, 585, 4) \
    X(TxPluginInfo, hasStreaming, tmPluginInfo, outHasStreaming, 589, 4)             \
    /* tmInstance */                                                                  \
    X(TxInstance, instanceId, tmInstance, inInstanceID, 0, 4)                        \
    X(TxInstance, timelineId, tmInstance, inTimelineID, 4, 4)                        \
    X(TxInstance, playId, tmInstance, inPlayID, 8, 4)                                \
    X(TxInstance, hasAudio, tmInstance, inHasAudio, 12, 4)                           \
    X(TxInstance, channelCount, tmInstance, inNumChannels, 16, 4)                    \
    X(TxInstance, channelLabels, tmInstance, inChannelLabels, 20, 64)                \
    X(TxInstance, audioSampleType, tmInstance, inAudioSampleType, 84, 4)             \
    X(TxInstance, audioSampleRate, tmInstance, inAudioSampleRate, 88, 4)             \
    X(TxInstance, hasVideo, tmInstance, inHasVideo, 92, 4)                           \
    X(TxInstance, videoWidth, tmInstance, inVideoWidth, 96, 4)                       \
    X(TxInstance, videoHeight, tmInstance, inVideoHeight, 100, 4)                    \
    X(TxInstance, videoParNum, tmInstance, inVideoPARNum, 104, 4)                    \
    X(TxInstance, videoParDen, tmInstance, inVideoPARDen, 108, 4)                    \
    X(TxInstance, videoFrameRate, tmInstance, inVideoFrameRate, 112, 8)              \
    X(TxInstance, videoFieldType, tmInstance, inVideoFieldType, 120, 4)              \
    X(TxInstance, privateData, tmInstance, ioPrivateInstanceData, 124, 8)            \
    /* tmAudioMode */                                                                 \
    X(TxAudioMode, sampleRate, tmAudioMode, outAudioSampleRate, 0, 4)                \
    X(TxAudioMode, maxBufferSize, tmAudioMode, outMaxBufferSize, 4, 4)               \
    X(TxAudioMode, channelCount, tmAudioMode, outNumChannels, 8, 4)                  \
    X(TxAudioMode, channelLabels, tmAudioMode, outChannelLabels, 12, 64)             \
    X(TxAudioMode, latency, tmAudioMode, outLatency, 76, 8)                          \
    X(TxAudioMode, outputNames, tmAudioMode, outAudioOutputNames, 84, 256)           \
    /* tmVideoMode */                                                                 \
    X(TxVideoMode, width, tmVideoMode, outWidth, 0, 4)                               \
    X(TxVideoMode, height, tmVideoMode, outHeight, 4, 4)                             \
    X(TxVideoMode, parNum, tmVideoMode, outPARNum, 8, 4)                             \
    X(TxVideoMode, parDen, tmVideoMode, outPARDen, 12, 4)                            \
    X(TxVideoMode, fieldType, tmVideoMode, outFieldType, 16, 4)                      \
    X(TxVideoMode, pixelFormat, tmVideoMode, outPixelFormat, 20, 4)                  \
    X(TxVideoMode, streamLabel, tmVideoMode, outStreamLabel, 24, 16)                 \
    X(TxVideoMode, latency, tmVideoMode, outLatency, 40, 8)                          \
    X(TxVideoMode, colorSpace, tmVideoMode, outColorSpaceRec, 48, 80)                \
    /* tmPlaybackClock */                                                             \
    X(TxPlaybackClock, callback, tmPlaybackClock, inClockCallback, 0, 8)             \
    X(TxPlaybackClock, callbackContext, tmPlaybackClock, inCallbackContext, 8, 8)    \
    X(TxPlaybackClock, startTime, tmPlaybackClock, inStartTime, 16, 8)               \
    X(TxPlaybackClock, playMode, tmPlaybackClock, inPlayMode, 24, 4)                 \
    X(TxPlaybackClock, speed, tmPlaybackClock, inSpeed, 28, 4)                       \
    X(TxPlaybackClock, inTime, tmPlaybackClock, inInTime, 32, 8)                     \
    X(TxPlaybackClock, outTime, tmPlaybackClock, inOutTime, 40, 8)                   \
    X(TxPlaybackClock, loop, tmPlaybackClock, inLoop, 48, 4)                         \
    X(TxPlaybackClock, droppedFrameCallback, tmPlaybackClock, inDroppedFrameCallback, 52, 8) \
    X(TxPlaybackClock, audioOffset, tmPlaybackClock, inAudioOffset, 60, 8)           \
    X(TxPlaybackClock, videoOffset, tmPlaybackClock, inVideoOffset, 68, 8)           \
    /* tmLabeledFrame, tmPushVideo, tmPushAudio */                                    \
    X(TxLabeledFrame, frame, tmLabeledFrame, inFrame, 0, 8)                          \
    X(TxLabeledFrame, streamLabel, tmLabeledFrame, inStreamLabel, 8, 8)              \
    X(TxPushVideo, time, tmPushVideo, inTime, 0, 8)                                  \
    X(TxPushVideo, playMode, tmPushVideo, inPlayMode, 8, 4)                          \
    X(TxPushVideo, quality, tmPushVideo, inQuality, 12, 4)                           \
    X(TxPushVideo, frames, tmPushVideo, inFrames, 16, 8)                             \
    X(TxPushVideo, frameCount, tmPushVideo, inFrameCount, 24, 8)                     \
    X(TxPushAudio, time, tmPushAudio, inTime, 0, 8)                                  \
    X(TxPushAudio, buffers, tmPushAudio, inBuffers, 8, 8)                            \
    X(TxPushAudio, sampleCount, tmPushAudio, inNumSamples, 16, 4)                    \
    X(TxPushAudio, channelCount, tmPushAudio, inNumChannels, 20, 4)                  \
    /* tmModule: nineteen function slots */                                           \
    X(TxModule, Startup, tmModule, Startup, 0, 8)                                    \
    X(TxModule, Shutdown, tmModule, Shutdown, 8, 8)                                  \
    X(TxModule, SetupDialog, tmModule, SetupDialog, 16, 8)                           \
    X(TxModule, NeedsReset, tmModule, NeedsReset, 24, 8)                             \
    X(TxModule, CreateInstance, tmModule, CreateInstance, 32, 8)                     \
    X(TxModule, DisposeInstance, tmModule, DisposeInstance, 40, 8)                   \
    X(TxModule, QueryAudioMode, tmModule, QueryAudioMode, 48, 8)                     \
    X(TxModule, QueryVideoMode, tmModule, QueryVideoMode, 56, 8)                     \
    X(TxModule, ActivateDeactivate, tmModule, ActivateDeactivate, 64, 8)             \
    X(TxModule, StartPlaybackClock, tmModule, StartPlaybackClock, 72, 8)             \
    X(TxModule, StopPlaybackClock, tmModule, StopPlaybackClock, 80, 8)               \
    X(TxModule, PushVideo, tmModule, PushVideo, 88, 8)                               \
    X(TxModule, StartPushAudio, tmModule, StartPushAudio, 96, 8)                     \
    X(TxModule, PushAudio, tmModule, PushAudio, 104, 8)                              \
    X(TxModule, StopPushAudio, tmModule, StopPushAudio, 112, 8)                      \
    X(TxModule, SetStreamingStateChangedCallback, tmModule, SetStreamingStateChangedCallback, 120, 8) \
    X(TxModule, EnableStreaming, tmModule, EnableStreaming, 128, 8)                  \
    X(TxModule, IsStreamingEnabled, tmModule, IsStreamingEnabled, 136, 8)            \
    X(TxModule, IsStreamingActive, tmModule, IsStreamingActive, 144, 8)              \
    /* PrSDKPlugSuites.h piSuites (packed), PrSDKPlugUtilities.h PlugUtilFuncs */    \
    X(TxPiSuites, interfaceVersion, piSuites, piInterfaceVer, 0, 4)                  \
    X(TxPiSuites, memFuncs, piSuites, memFuncs, 4, 8)                                \
    X(TxPiSuites, windFuncs, piSuites, windFuncs, 12, 8)                             \
    X(TxPiSuites, ppixFuncs, piSuites, ppixFuncs, 20, 8)                             \
    X(TxPiSuites, utilFuncs, piSuites, utilFuncs, 28, 8)                             \
    X(TxPiSuites, timelineFuncs, piSuites, timelineFuncs, 36, 8)                     \
    X(TxUtilFuncs, getSettings, PlugUtilFuncs, getSettings, 0, 8)                    \
    X(TxUtilFuncs, GetSPBasicSuite, PlugUtilFuncs, getSPBasicSuite, 56, 8)           \
    X(TxUtilFuncs, getFileExtString, PlugUtilFuncs, getFileExtString, 64, 8)         \
    /* SPBasic.h SPBasicSuite */                                                      \
    X(TxBasicSuite, AcquireSuite, SPBasicSuite, AcquireSuite, 0, 8)                  \
    X(TxBasicSuite, ReleaseSuite, SPBasicSuite, ReleaseSuite, 8, 8)                  \
    X(TxBasicSuite, IsEqual, SPBasicSuite, IsEqual, 16, 8)                           \
    X(TxBasicSuite, AllocateBlock, SPBasicSuite, AllocateBlock, 24, 8)               \
    X(TxBasicSuite, FreeBlock, SPBasicSuite, FreeBlock, 32, 8)                       \
    X(TxBasicSuite, ReallocateBlock, SPBasicSuite, ReallocateBlock, 40, 8)           \
    X(TxBasicSuite, Undefined, SPBasicSuite, Undefined, 48, 8)                       \
    /* PrSDKPPixSuite.h PrSDKPPixSuite */                                             \
    X(TxPPixSuite, Dispose, PrSDKPPixSuite, Dispose, 0, 8)                           \
    X(TxPPixSuite, GetPixels, PrSDKPPixSuite, GetPixels, 8, 8)                       \
    X(TxPPixSuite, GetBounds, PrSDKPPixSuite, GetBounds, 16, 8)                      \
    X(TxPPixSuite, GetRowBytes, PrSDKPPixSuite, GetRowBytes, 24, 8)                  \
    X(TxPPixSuite, GetPixelAspectRatio, PrSDKPPixSuite, GetPixelAspectRatio, 32, 8)  \
    X(TxPPixSuite, GetPixelFormat, PrSDKPPixSuite, GetPixelFormat, 40, 8)            \
    X(TxPPixSuite, GetUniqueKey, PrSDKPPixSuite, GetUniqueKey, 48, 8)                \
    X(TxPPixSuite, GetUniqueKeySize, PrSDKPPixSuite, GetUniqueKeySize, 56, 8)        \
    X(TxPPixSuite, GetRenderTime, PrSDKPPixSuite, GetRenderTime, 64, 8)              \
    /* PrSDKPlayModuleAudioSuite.h PrSDKPlayModuleAudioSuite (version 4) */          \
    X(TxPlaymodAudioSuite, InitHostAudio, PrSDKPlayModuleAudioSuite, InitHostAudio, 0, 8) \
    X(TxPlaymodAudioSuite, StartAudio, PrSDKPlayModuleAudioSuite, StartAudio, 16, 8) \
    X(TxPlaymodAudioSuite, GetNextAudioBuffer, PrSDKPlayModuleAudioSuite, GetNextAudioBuffer, 24, 8) \
    X(TxPlaymodAudioSuite, StopAudio, PrSDKPlayModuleAudioSuite, StopAudio, 64, 8)   \
    X(TxPlaymodAudioSuite, GetNextAudioBuffer2, PrSDKPlayModuleAudioSuite, GetNextAudioBuffer2, 80, 8) \
    /* PrSDKTimeSuite.h PrSDKTimeSuite */                                             \
    X(TxTimeSuite, GetTicksPerSecond, PrSDKTimeSuite, GetTicksPerSecond, 0, 8)       \
    X(TxTimeSuite, GetTicksPerVideoFrame, PrSDKTimeSuite, GetTicksPerVideoFrame, 8, 8) \
    X(TxTimeSuite, GetTicksPerAudioSample, PrSDKTimeSuite, GetTicksPerAudioSample, 16, 8)

#define VX_SDK_X64_TRANSMIT_SIZES(X)        \
    X(TxRect, prRect, 16)                   \
    X(TxSdkString, PrSDKString, 16)         \
    X(TxSeiColorCodes, prSEIColorCodesRec, 28) \
    X(TxRawColorProfile, RawColorProfileRec, 32) \
    X(TxColorSpace, ColorSpaceRec, 80)      \
    X(TxStdParms, tmStdParms, 36)           \
    X(TxPluginInfo, tmPluginInfo, 593)      \
    X(TxInstance, tmInstance, 132)          \
    X(TxAudioMode, tmAudioMode, 340)        \
    X(TxVideoMode, tmVideoMode, 128)        \
    X(TxPlaybackClock, tmPlaybackClock, 76) \
    X(TxLabeledFrame, tmLabeledFrame, 16)   \
    X(TxPushVideo, tmPushVideo, 32)         \
    X(TxPushAudio, tmPushAudio, 24)         \
    X(TxModule, tmModule, 152)              \
    X(TxPiSuites, piSuites, 44)             \
    X(TxUtilFuncs, PlugUtilFuncs, 72)       \
    X(TxBasicSuite, SPBasicSuite, 56)       \
    X(TxPPixSuite, PrSDKPPixSuite, 72)      \
    X(TxPlaymodAudioSuite, PrSDKPlayModuleAudioSuite, 88) \
    X(TxTimeSuite, PrSDKTimeSuite, 24)

// ---- Control Surface SDK (natural alignment) ----
#define VX_SDK_X64_CONTROL_SURFACE_FIELDS(X)                                               \
    X(CsString, opaque, ADOBESDK_String, opaque, 0, 16)                                    \
    /* SPBasic.h (the same seven slots as the transmit side) */                           \
    X(CsSPBasicSuite, AcquireSuite, SPBasicSuite, AcquireSuite, 0, 8)                      \
    X(CsSPBasicSuite, ReleaseSuite, SPBasicSuite, ReleaseSuite, 8, 8)                      \
    X(CsSPBasicSuite, Undefined, SPBasicSuite, Undefined, 48, 8)                           \
    /* AdobesdkStringSuite.h ADOBESDK_StringSuite1 */                                      \
    X(CsStringSuite, DisposeString, ADOBESDK_StringSuite1, DisposeString, 0, 8)            \
    X(CsStringSuite, AllocateFromUTF8, ADOBESDK_StringSuite1, AllocateFromUTF8, 8, 8)      \
    X(CsStringSuite, CopyToUTF8String, ADOBESDK_StringSuite1, CopyToUTF8String, 16, 8)     \
    X(CsStringSuite, AllocateFromUTF16, ADOBESDK_StringSuite1, AllocateFromUTF16, 24, 8)   \
    X(CsStringSuite, CopyToUTF16String, ADOBESDK_StringSuite1, CopyToUTF16String, 32, 8)   \
    /* SPSuites.h SPSuitesSuite */                                                         \
    X(CsSPSuitesSuite, AllocateSuiteList, SPSuitesSuite, AllocateSuiteList, 0, 8)          \
    X(CsSPSuitesSuite, FreeSuiteList, SPSuitesSuite, FreeSuiteList, 8, 8)                  \
    X(CsSPSuitesSuite, AddSuite, SPSuitesSuite, AddSuite, 16, 8)                           \
    X(CsSPSuitesSuite, AcquireSuite, SPSuitesSuite, AcquireSuite, 24, 8)                   \
    X(CsSPSuitesSuite, FindSuite, SPSuitesSuite, FindSuite, 40, 8)                         \
    X(CsSPSuitesSuite, GetSuiteProcs, SPSuitesSuite, GetSuiteProcs, 104, 8)                \
    X(CsSPSuitesSuite, GetSuiteAcquireCount, SPSuitesSuite, GetSuiteAcquireCount, 112, 8)  \
    /* ControlSurfacePluginSuite.h */                                                      \
    X(CsPluginSuite, Connect, ADOBESDK_ControlSurfacePluginSuite1, Connect, 0, 8)          \
    X(CsPluginSuite, Disconnect, ADOBESDK_ControlSurfacePluginSuite1, Disconnect, 8, 8)    \
    X(CsPluginSuite, GetPluginID, ADOBESDK_ControlSurfacePluginSuite1, GetPluginID, 16, 8) \
    X(CsPluginSuite, GetPluginDisplayString, ADOBESDK_ControlSurfacePluginSuite1, GetPluginDisplayString, 24, 8) \
    X(CsPluginSuite, GetPluginSettings, ADOBESDK_ControlSurfacePluginSuite1, GetPluginSettings, 32, 8) \
    X(CsPluginSuite, SetPluginSettings, ADOBESDK_ControlSurfacePluginSuite1, SetPluginSettings, 40, 8) \
    X(CsPluginSuite, HasSettingsDialog, ADOBESDK_ControlSurfacePluginSuite1, HasSettingsDialog, 48, 8) \
    X(CsPluginSuite, RunSettingsDialog, ADOBESDK_ControlSurfacePluginSuite1, RunSettingsDialog, 56, 8) \
    X(CsPluginSuite, Suspend, ADOBESDK_ControlSurfacePluginSuite1, Suspend, 64, 8)         \
    X(CsPluginSuite, Resume, ADOBESDK_ControlSurfacePluginSuite1, Resume, 72, 8)           \
    X(CsPluginEntryFuncs, Startup, ADOBESDK_ControlSurfacePluginFuncs, Startup, 0, 8)      \
    X(CsPluginEntryFuncs, Shutdown, ADOBESDK_ControlSurfacePluginFuncs, Shutdown, 8, 8)    \
    X(CsPluginEntryFuncs, CreatePluginInstance, ADOBESDK_ControlSurfacePluginFuncs, CreatePluginInstance, 16, 8) \
    X(CsPluginEntryFuncs, DeletePluginInstance, ADOBESDK_ControlSurfacePluginFuncs, DeletePluginInstance, 24, 8) \
    X(CsPluginEntryFuncs, GetSuiteList, ADOBESDK_ControlSurfacePluginFuncs, GetSuiteList, 32, 8) \
    /* ControlSurfaceHostSuite.h */                                                        \
    X(CsHostSuite, GetCommandRef, ADOBESDK_ControlSurfaceHostSuite2, GetCommandRef, 0, 8)  \
    X(CsHostSuite, GetMarkerRef, ADOBESDK_ControlSurfaceHostSuite2, GetMarkerRef, 8, 8)    \
    X(CsHostSuite, GetMixerRef, ADOBESDK_ControlSurfaceHostSuite2, GetMixerRef, 16, 8)     \
    X(CsHostSuite, GetTransportRef, ADOBESDK_ControlSurfaceHostSuite2, GetTransportRef, 24, 8) \
    X(CsHostSuite, GetLumetriRef, ADOBESDK_ControlSurfaceHostSuite2, GetLumetriRef, 32, 8) \
    /* ControlSurfaceHostTransportSuite.h */                                               \
    X(CsHostTransportSuite, Stop, ADOBESDK_ControlSurfaceHostTransportSuite1, Stop, 32, 8) \
    X(CsHostTransportSuite, Play, ADOBESDK_ControlSurfaceHostTransportSuite1, Play, 40, 8) \
    X(CsHostTransportSuite, GotoStart, ADOBESDK_ControlSurfaceHostTransportSuite1, GotoStart, 88, 8) \
    X(CsHostTransportSuite, ShuttleLeft, ADOBESDK_ControlSurfaceHostTransportSuite1, ShuttleLeft, 96, 8) \
    X(CsHostTransportSuite, ShuttleStop, ADOBESDK_ControlSurfaceHostTransportSuite1, ShuttleStop, 104, 8) \
    X(CsHostTransportSuite, ShuttleRight, ADOBESDK_ControlSurfaceHostTransportSuite1, ShuttleRight, 112, 8) \
    X(CsHostTransportSuite, JogDial, ADOBESDK_ControlSurfaceHostTransportSuite1, JogDial, 120, 8) \
    X(CsHostTransportSuite, GetTimeDisplayString, ADOBESDK_ControlSurfaceHostTransportSuite1, GetTimeDisplayString, 128, 8) \
    X(CsHostTransportSuite, GetPlayState, ADOBESDK_ControlSurfaceHostTransportSuite1, GetPlayState, 152, 8) \
    X(CsHostTransportSuite, GetSoloState, ADOBESDK_ControlSurfaceHostTransportSuite1, GetSoloState, 160, 8) \
    /* ControlSurfaceHostCommandSuite.h */                                                 \
    X(CsHostCommandSuite, Navigate, ADOBESDK_ControlSurfaceHostCommandSuite1, Navigate, 0, 8) \
    X(CsHostCommandSuite, GetCommandCount, ADOBESDK_ControlSurfaceHostCommandSuite1, GetCommandCount, 8, 8) \
    X(CsHostCommandSuite, GetCommand, ADOBESDK_ControlSurfaceHostCommandSuite1, GetCommand, 16, 8) \
    X(CsHostCommandSuite, ExecuteCommand, ADOBESDK_ControlSurfaceHostCommandSuite1, ExecuteCommand, 24, 8) \
    /* ControlSurfaceSuite.h */                                                            \
    X(CsSurfaceSuite, GetConfigIdentifier, ADOBESDK_ControlSurfaceSuite2, GetConfigIdentifier, 0, 8) \
    X(CsSurfaceSuite, GetControlSurfaceFlags, ADOBESDK_ControlSurfaceSuite2, GetControlSurfaceFlags, 8, 8) \
    X(CsSurfaceSuite, GetTransportRef, ADOBESDK_ControlSurfaceSuite2, GetTransportRef, 16, 8) \
    X(CsSurfaceSuite, GetMixerRef, ADOBESDK_ControlSurfaceSuite2, GetMixerRef, 24, 8)      \
    X(CsSurfaceSuite, GetMarkerRef, ADOBESDK_ControlSurfaceSuite2, GetMarkerRef, 32, 8)    \
    X(CsSurfaceSuite, GetCommandRef, ADOBESDK_ControlSurfaceSuite2, GetCommandRef, 40, 8)  \
    X(CsSurfaceSuite, Update, ADOBESDK_ControlSurfaceSuite2, Update, 48, 8)                \
    X(CsSurfaceSuite, GetLumetriRef, ADOBESDK_ControlSurfaceSuite2, GetLumetriRef, 56, 8)  \
    /* ControlSurfaceTransportSuite.h */                                                   \
    X(CsSurfaceTransportSuite, SetStopState, ADOBESDK_ControlSurfaceTransportSuite1, SetStopState, 0, 8) \
    X(CsSurfaceTransportSuite, SetPlayState, ADOBESDK_ControlSurfaceTransportSuite1, SetPlayState, 8, 8) \
    X(CsSurfaceTransportSuite, SetPauseState, ADOBESDK_ControlSurfaceTransportSuite1, SetPauseState, 48, 8) \
    X(CsSurfaceTransportSuite, SetTimeDisplay, ADOBESDK_ControlSurfaceTransportSuite1, SetTimeDisplay, 56, 8) \
    /* ControlSurfaceCommandSuite.h */                                                     \
    X(CsSurfaceCommandSuite, GetUserButtonCount, ADOBESDK_ControlSurfaceCommandSuite1, GetUserButtonCount, 0, 8) \
    X(CsSurfaceCommandSuite, GetUserButtonCommand, ADOBESDK_ControlSurfaceCommandSuite1, GetUserButtonCommand, 32, 8)

#define VX_SDK_X64_CONTROL_SURFACE_SIZES(X)                              \
    X(CsString, ADOBESDK_String, 16)                                     \
    X(CsSPBasicSuite, SPBasicSuite, 56)                                  \
    X(CsStringSuite, ADOBESDK_StringSuite1, 40)                          \
    X(CsSPSuitesSuite, SPSuitesSuite, 120)                               \
    X(CsPluginSuite, ADOBESDK_ControlSurfacePluginSuite1, 80)            \
    X(CsPluginEntryFuncs, ADOBESDK_ControlSurfacePluginFuncs, 40)        \
    X(CsHostSuite, ADOBESDK_ControlSurfaceHostSuite2, 40)                \
    X(CsHostTransportSuite, ADOBESDK_ControlSurfaceHostTransportSuite1, 168) \
    X(CsHostCommandSuite, ADOBESDK_ControlSurfaceHostCommandSuite1, 32)  \
    X(CsSurfaceSuite, ADOBESDK_ControlSurfaceSuite2, 64)                 \
    X(CsSurfaceTransportSuite, ADOBESDK_ControlSurfaceTransportSuite1, 64) \
    X(CsSurfaceCommandSuite, ADOBESDK_ControlSurfaceCommandSuite1, 40)

// Named constants: vx_sdk_x64::pr (Premiere) or ::cs (control surface) ::<SDK record>::<SDK field>, and ::kSize.
#define VX_SDK_X64_FIELD_CONSTANT(ours, ourField, record, field, offset, bytes) \
    namespace record {                                                          \
    inline constexpr std::size_t field = offset;                                \
    }
#define VX_SDK_X64_SIZE_CONSTANT(ours, record, bytes) \
    namespace record {                                \
    inline constexpr std::size_t kSize = bytes;       \
    }
namespace vx_sdk_x64 {
namespace pr {  // Premiere Pro SDK
VX_SDK_X64_TRANSMIT_FIELDS(VX_SDK_X64_FIELD_CONSTANT)
VX_SDK_X64_TRANSMIT_SIZES(VX_SDK_X64_SIZE_CONSTANT)
}  // namespace pr
namespace cs {  // Control Surface SDK
VX_SDK_X64_CONTROL_SURFACE_FIELDS(VX_SDK_X64_FIELD_CONSTANT)
VX_SDK_X64_CONTROL_SURFACE_SIZES(VX_SDK_X64_SIZE_CONSTANT)
}  // namespace cs
// The SDK's value of 8-bit BGRA: 'b' | 'g' << 8 | 'r' << 16 | 'a' << 24.
inline constexpr std::uint32_t kPixelFormatBgra8 = 0x61726762u;
}  // namespace vx_sdk_x64
#undef VX_SDK_X64_FIELD_CONSTANT
#undef VX_SDK_X64_SIZE_CONSTANT

// Our declarations against the documented numbers, on every x64 build that includes this.
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#define VX_SDK_X64_ASSERT_FIELD(ours, ourField, record, field, offset, bytes)                \
    static_assert(offsetof(ours, ourField) == (offset), #record "::" #field " offset");    \
    static_assert(sizeof(((ours*)nullptr)->ourField) == (bytes), #record "::" #field " size");
#define VX_SDK_X64_ASSERT_SIZE(ours, record, bytes) static_assert(sizeof(ours) == (bytes), #record " size");
VX_SDK_X64_TRANSMIT_FIELDS(VX_SDK_X64_ASSERT_FIELD)
VX_SDK_X64_TRANSMIT_SIZES(VX_SDK_X64_ASSERT_SIZE)
VX_SDK_X64_CONTROL_SURFACE_FIELDS(VX_SDK_X64_ASSERT_FIELD)
VX_SDK_X64_CONTROL_SURFACE_SIZES(VX_SDK_X64_ASSERT_SIZE)
static_assert(kTxPixelFormatBgra == vx_sdk_x64::kPixelFormatBgra8, "BGRA 8-bit four-character code");
#undef VX_SDK_X64_ASSERT_FIELD
#undef VX_SDK_X64_ASSERT_SIZE
#endif
