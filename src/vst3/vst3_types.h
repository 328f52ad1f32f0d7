// The part of the VST 3 binary interface this plug-in uses: scalar types, result
// codes, constants and the structs that cross the host boundary. Layouts follow the
// published packing (the factory structs and the processing structs naturally aligned, the
// other vst structs packed to 4 bytes) and are pinned by static_asserts below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vst3 {

using int8 = int8_t;
using uint8 = uint8_t;
using int16 = int16_t;
using uint16 = uint16_t;
using int32 = int32_t;
using uint32 = uint32_t;
using int64 = int64_t;
using uint64 = uint64_t;
using tresult = int32;
using TBool = uint8;
using char8 = char;
using char16 = char16_t;
using TChar = char16;
using FIDString = const char8*;
using TUID = int8[16];
using String128 = TChar[128];
using ParamID = uint32;
using ParamValue = double;
using SpeakerArrangement = uint64;
using MediaType = int32;
using BusDirection = int32;
using BusType = int32;
using IoMode = int32;
using UnitID = int32;
using Sample32 = float;
using Sample64 = double;
using SampleRate = double;
using TimerInterval = uint64;
using FileDescriptor = int;
using CtrlNumber = int16;

// Result codes with their Linux (non-COM) numbers.
enum : tresult {
    kNoInterface = -1,
    kResultOk = 0,
    kResultTrue = 0,
    kResultFalse = 1,
    kInvalidArgument = 2,
    kNotImplemented = 3,
    kInternalError = 4,
    kNotInitialized = 5,
    kOutOfMemory = 6,
};

enum : MediaType { kAudio = 0, kEvent = 1 };
enum : BusDirection { kInput = 0, kOutput = 1 };
enum : BusType { kMain = 0, kAux = 1 };
enum : uint32 { kDefaultActive = 1u << 0 };
enum : IoMode { kSimple = 0, kAdvanced = 1, kOfflineProcessing = 2 };
enum : int32 { kSample32 = 0, kSample64 = 1 };
enum : int32 { kRealtime = 0, kPrefetch = 1, kOffline = 2 };
enum : int32 { kIBSeekSet = 0, kIBSeekCur = 1, kIBSeekEnd = 2 };

inline constexpr SpeakerArrangement kSpeakerM = 1ull << 19;
inline constexpr SpeakerArrangement kSpeakerArrMono = kSpeakerM;
inline constexpr SpeakerArrangement kSpeakerArrStereo = 0x3;
inline constexpr SpeakerArrangement kSpeakerArrEmpty = 0;

inline constexpr uint32 kNoTail = 0;
inline constexpr UnitID kRootUnitId = 0;

// ParameterInfo flags.
enum : int32 {
    kCanAutomate = 1 << 0,
    kIsReadOnly = 1 << 1,
    kIsWrapAround = 1 << 2,
    kIsList = 1 << 3,
    kIsHidden = 1 << 4,
    kIsProgramChange = 1 << 15,
    kIsBypass = 1 << 16,
};

// Class cardinality and flags.
inline constexpr int32 kManyInstances = 0x7FFFFFFF;
enum : uint32 { kDistributable = 1u << 0, kSimpleModeSupported = 1u << 1 };
// PFactoryInfo flags.
enum : int32 {
    kNoFlags = 0,
    kClassesDiscardable = 1 << 0,
    kLicenseCheck = 1 << 1,
    kComponentNonDiscardable = 1 << 3,
    kUnicode = 1 << 4,
};

inline constexpr const char* kPlatformTypeX11EmbedWindowID = "X11EmbedWindowID";
inline constexpr const char* kVstAudioEffectClass = "Audio Module Class";
inline constexpr const char* kVstComponentControllerClass = "Component Controller Class";

// ---- factory structs (natural alignment) ----
struct PFactoryInfo {
    char8 vendor[64];
    char8 url[256];
    char8 email[128];
    int32 flags;
};

struct PClassInfo {
    TUID cid;
    int32 cardinality;
    char8 category[32];
    char8 name[64];
};

struct PClassInfo2 {
    TUID cid;
    int32 cardinality;
    char8 category[32];
    char8 name[64];
    uint32 classFlags;
    char8 subCategories[128];
    char8 vendor[64];
    char8 version[64];
    char8 sdkVersion[64];
};

struct PClassInfoW {
    TUID cid;
    int32 cardinality;
    char8 category[32];
    char16 name[64];
    uint32 classFlags;
    char8 subCategories[128];
    char16 vendor[64];
    char16 version[64];
    char16 sdkVersion[64];
};

struct ViewRect {
    int32 left;
    int32 top;
    int32 right;
    int32 bottom;
};

// ---- vst structs (packed to 4 bytes) ----
#pragma pack(push, 4)

struct BusInfo {
    MediaType mediaType;
    BusDirection direction;
    int32 channelCount;
    String128 name;
    BusType busType;
    uint32 flags;
};

struct RoutingInfo {
    MediaType mediaType;
    int32 busIndex;
    int32 channel;
};

struct ParameterInfo {
    ParamID id;
    String128 title;
    String128 shortTitle;
    String128 units;
    int32 stepCount;
    ParamValue defaultNormalizedValue;
    UnitID unitId;
    int32 flags;
};

#pragma pack(pop)

// The processing structs are naturally aligned on 64-bit Linux (the published headers
// wrap them in the 16-byte alignment push, not the 4-byte one).
struct ProcessSetup {
    int32 processMode;
    int32 symbolicSampleSize;
    int32 maxSamplesPerBlock;
    SampleRate sampleRate;
};

struct AudioBusBuffers {
    int32 numChannels;
    uint64 silenceFlags;
    union {
        Sample32** channelBuffers32;
        Sample64** channelBuffers64;
    };
};

struct IParameterChanges;
struct IEventList;
struct ProcessContext;

struct ProcessData {
    int32 processMode;
    int32 symbolicSampleSize;
    int32 numSamples;
    int32 numInputs;
    int32 numOutputs;
    AudioBusBuffers* inputs;
    AudioBusBuffers* outputs;
    IParameterChanges* inputParameterChanges;
    IParameterChanges* outputParameterChanges;
    IEventList* inputEvents;
    IEventList* outputEvents;
    ProcessContext* processContext;
};

static_assert(sizeof(PFactoryInfo) == 452);
static_assert(sizeof(PClassInfo) == 116);
static_assert(offsetof(PClassInfo2, classFlags) == 116 && sizeof(PClassInfo2) == 440);
static_assert(offsetof(PClassInfoW, name) == 52 && offsetof(PClassInfoW, classFlags) == 180);
static_assert(offsetof(PClassInfoW, vendor) == 312 && sizeof(PClassInfoW) == 696);
static_assert(sizeof(ViewRect) == 16);
static_assert(offsetof(BusInfo, name) == 12 && offsetof(BusInfo, busType) == 268 && sizeof(BusInfo) == 276);
static_assert(sizeof(RoutingInfo) == 12);
static_assert(offsetof(ParameterInfo, units) == 516 && offsetof(ParameterInfo, stepCount) == 772);
static_assert(offsetof(ParameterInfo, defaultNormalizedValue) == 776 && sizeof(ParameterInfo) == 792);
static_assert(offsetof(ProcessSetup, sampleRate) == 16 && sizeof(ProcessSetup) == 24);
static_assert(offsetof(AudioBusBuffers, silenceFlags) == 8 && offsetof(AudioBusBuffers, channelBuffers32) == 16);
static_assert(sizeof(AudioBusBuffers) == 24);
static_assert(offsetof(ProcessData, inputs) == 24 && offsetof(ProcessData, outputs) == 32);
static_assert(offsetof(ProcessData, inputParameterChanges) == 40 && offsetof(ProcessData, processContext) == 72);
static_assert(sizeof(ProcessData) == 80);

// True when the two 16-byte ids are equal; ids are compared as raw bytes.
bool iid_equal(const TUID a, const TUID b);

}  // namespace vst3
