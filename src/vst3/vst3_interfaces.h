// VST 3 interfaces as plain records: each interface is a pointer to a static table of
// functions in the published slot order; `self` is the interface pointer itself.
// Interface ids are 16 bytes in the Linux (non-COM) order: each 32-bit word big-endian.
#pragma once

#include "vst3/vst3_types.h"

namespace vst3 {

#define VST3_UID(l1, l2, l3, l4)                                                          \
    {(int8)(((l1) >> 24) & 0xFF), (int8)(((l1) >> 16) & 0xFF), (int8)(((l1) >> 8) & 0xFF), \
     (int8)((l1) & 0xFF),         (int8)(((l2) >> 24) & 0xFF), (int8)(((l2) >> 16) & 0xFF), \
     (int8)(((l2) >> 8) & 0xFF),  (int8)((l2) & 0xFF),         (int8)(((l3) >> 24) & 0xFF), \
     (int8)(((l3) >> 16) & 0xFF), (int8)(((l3) >> 8) & 0xFF),  (int8)((l3) & 0xFF),         \
     (int8)(((l4) >> 24) & 0xFF), (int8)(((l4) >> 16) & 0xFF), (int8)(((l4) >> 8) & 0xFF),  \
     (int8)((l4) & 0xFF)}

inline constexpr TUID FUnknown_iid = VST3_UID(0x00000000u, 0x00000000u, 0xC0000000u, 0x00000046u);
inline constexpr TUID IPluginBase_iid = VST3_UID(0x22888DDBu, 0x156E45AEu, 0x8358B348u, 0x08190625u);
inline constexpr TUID IPluginFactory_iid = VST3_UID(0x7A4D811Cu, 0x52114A1Fu, 0xAED9D2EEu, 0x0B43BF9Fu);
inline constexpr TUID IPluginFactory2_iid = VST3_UID(0x0007B650u, 0xF24B4C0Bu, 0xA464EDB9u, 0xF00B2ABBu);
inline constexpr TUID IPluginFactory3_iid = VST3_UID(0x4555A2ABu, 0xC1234E57u, 0x9B122910u, 0x36878931u);
inline constexpr TUID IComponent_iid = VST3_UID(0xE831FF31u, 0xF2D54301u, 0x928EBBEEu, 0x25697802u);
inline constexpr TUID IAudioProcessor_iid = VST3_UID(0x42043F99u, 0xB7DA453Cu, 0xA569E79Du, 0x9AAEC33Du);
inline constexpr TUID IProcessContextRequirements_iid = VST3_UID(0x2A654303u, 0xEF764E3Du, 0x95B5FE83u, 0x730EF6D0u);
inline constexpr TUID IConnectionPoint_iid = VST3_UID(0x70A4156Fu, 0x6E6E4026u, 0x989148BFu, 0xAA60D8D1u);
inline constexpr TUID IMessage_iid = VST3_UID(0x936F033Bu, 0xC6C047DBu, 0xBB0882F8u, 0x13C1E613u);
inline constexpr TUID IEditController_iid = VST3_UID(0xDCD7BBE3u, 0x7742448Du, 0xA874AACCu, 0x979C759Eu);
inline constexpr TUID IEditController2_iid = VST3_UID(0x7F4EFE59u, 0xF3204967u, 0xAC27A3AEu, 0xAFB63038u);
inline constexpr TUID IMidiMapping_iid = VST3_UID(0xDF0FF9F7u, 0x49B74669u, 0xB63AB732u, 0x7ADBF5E5u);
inline constexpr TUID IComponentHandler_iid = VST3_UID(0x93A0BEA3u, 0x0BD045DBu, 0x8E890B0Cu, 0xC1E46AC6u);
inline constexpr TUID IBStream_iid = VST3_UID(0xC3BF6EA2u, 0x30994752u, 0x9B6BF990u, 0x1EE33E9Bu);
inline constexpr TUID IParameterChanges_iid = VST3_UID(0xA4779663u, 0x0BB64A56u, 0xB44384A8u, 0x466FEB9Du);
inline constexpr TUID IParamValueQueue_iid = VST3_UID(0x01263A18u, 0xED074F6Fu, 0x98C9D356u, 0x4686F9BAu);
inline constexpr TUID IPlugView_iid = VST3_UID(0x5BC32507u, 0xD06049EAu, 0xA6151B52u, 0x2B755B29u);
inline constexpr TUID IPlugFrame_iid = VST3_UID(0x367FAF01u, 0xAFA94693u, 0x8D4DA2A0u, 0xED0882A3u);
inline constexpr TUID IRunLoop_iid = VST3_UID(0x18C35366u, 0x97764F1Au, 0x9C5B8385u, 0x7A871389u);
inline constexpr TUID ITimerHandler_iid = VST3_UID(0x10BDD94Fu, 0x41424774u, 0x821FAD8Fu, 0xECA72CA9u);
inline constexpr TUID IEventHandler_iid = VST3_UID(0x561E65C9u, 0x13A0496Fu, 0x813A2C35u, 0x654D7983u);
inline constexpr TUID IHostApplication_iid = VST3_UID(0x58E595CCu, 0xDB2D4969u, 0x8B6AAF8Cu, 0x36A664E5u);

// The three slots every interface starts with.
#define VST3_FUNKNOWN_SLOTS(Self)                                        \
    tresult (*queryInterface)(Self * self, const TUID iid, void** obj); \
    uint32 (*addRef)(Self * self);                                      \
    uint32 (*release)(Self * self)

#define VST3_INTERFACE(Name) \
    struct Name##Vtbl;       \
    struct Name {            \
        const Name##Vtbl* vtbl; \
    }

VST3_INTERFACE(FUnknown);
VST3_INTERFACE(IPluginBase);
VST3_INTERFACE(IPluginFactory3);
VST3_INTERFACE(IComponent);
VST3_INTERFACE(IAudioProcessor);
VST3_INTERFACE(IProcessContextRequirements);
VST3_INTERFACE(IConnectionPoint);
VST3_INTERFACE(IMessage);
VST3_INTERFACE(IEditController);
VST3_INTERFACE(IMidiMapping);
VST3_INTERFACE(IComponentHandler);
VST3_INTERFACE(IBStream);
VST3_INTERFACE(IParameterChanges);
VST3_INTERFACE(IParamValueQueue);
VST3_INTERFACE(IPlugView);
VST3_INTERFACE(IPlugFrame);
VST3_INTERFACE(IRunLoop);
VST3_INTERFACE(ITimerHandler);
VST3_INTERFACE(IEventHandler);
VST3_INTERFACE(IHostApplication);
// The factory is reached as IPluginFactory; its table is the IPluginFactory3 table.
using IPluginFactory = IPluginFactory3;
using IPluginFactory2 = IPluginFactory3;

struct FUnknownVtbl {
    VST3_FUNKNOWN_SLOTS(FUnknown);
};

struct IPluginBaseVtbl {
    VST3_FUNKNOWN_SLOTS(IPluginBase);
    tresult (*initialize)(IPluginBase* self, FUnknown* context);
    tresult (*terminate)(IPluginBase* self);
};

struct IPluginFactory3Vtbl {
    VST3_FUNKNOWN_SLOTS(IPluginFactory3);
    // IPluginFactory
    tresult (*getFactoryInfo)(IPluginFactory3* self, PFactoryInfo* info);
    int32 (*countClasses)(IPluginFactory3* self);
    tresult (*getClassInfo)(IPluginFactory3* self, int32 index, PClassInfo* info);
    tresult (*createInstance)(IPluginFactory3* self, FIDString cid, FIDString iid, void** obj);
    // IPluginFactory2
    tresult (*getClassInfo2)(IPluginFactory3* self, int32 index, PClassInfo2* info);
    // IPluginFactory3
    tresult (*getClassInfoUnicode)(IPluginFactory3* self, int32 index, PClassInfoW* info);
    tresult (*setHostContext)(IPluginFactory3* self, FUnknown* context);
};

struct IComponentVtbl {
    VST3_FUNKNOWN_SLOTS(IComponent);
    tresult (*initialize)(IComponent* self, FUnknown* context);
    tresult (*terminate)(IComponent* self);
    tresult (*getControllerClassId)(IComponent* self, TUID classId);
    tresult (*setIoMode)(IComponent* self, IoMode mode);
    int32 (*getBusCount)(IComponent* self, MediaType type, BusDirection dir);
    tresult (*getBusInfo)(IComponent* self, MediaType type, BusDirection dir, int32 index, BusInfo* bus);
    tresult (*getRoutingInfo)(IComponent* self, RoutingInfo* inInfo, RoutingInfo* outInfo);
    tresult (*activateBus)(IComponent* self, MediaType type, BusDirection dir, int32 index, TBool state);
    tresult (*setActive)(IComponent* self, TBool state);
    tresult (*setState)(IComponent* self, IBStream* state);
    tresult (*getState)(IComponent* self, IBStream* state);
};

struct IAudioProcessorVtbl {
    VST3_FUNKNOWN_SLOTS(IAudioProcessor);
    tresult (*setBusArrangements)(IAudioProcessor* self, SpeakerArrangement* inputs, int32 numIns,
                                  SpeakerArrangement* outputs, int32 numOuts);
    tresult (*getBusArrangement)(IAudioProcessor* self, BusDirection dir, int32 index, SpeakerArrangement* arr);
    tresult (*canProcessSampleSize)(IAudioProcessor* self, int32 symbolicSampleSize);
    uint32 (*getLatencySamples)(IAudioProcessor* self);
    tresult (*setupProcessing)(IAudioProcessor* self, ProcessSetup* setup);
    tresult (*setProcessing)(IAudioProcessor* self, TBool state);
    tresult (*process)(IAudioProcessor* self, ProcessData* data);
    uint32 (*getTailSamples)(IAudioProcessor* self);
};

struct IProcessContextRequirementsVtbl {
    VST3_FUNKNOWN_SLOTS(IProcessContextRequirements);
    uint32 (*getProcessContextRequirements)(IProcessContextRequirements* self);
};

struct IConnectionPointVtbl {
    VST3_FUNKNOWN_SLOTS(IConnectionPoint);
    tresult (*connect)(IConnectionPoint* self, IConnectionPoint* other);
    tresult (*disconnect)(IConnectionPoint* self, IConnectionPoint* other);
    tresult (*notify)(IConnectionPoint* self, IMessage* message);
};

struct IMessageVtbl {
    VST3_FUNKNOWN_SLOTS(IMessage);
    FIDString (*getMessageID)(IMessage* self);
    void (*setMessageID)(IMessage* self, FIDString id);
    FUnknown* (*getAttributes)(IMessage* self);
};

struct IEditControllerVtbl {
    VST3_FUNKNOWN_SLOTS(IEditController);
    tresult (*initialize)(IEditController* self, FUnknown* context);
    tresult (*terminate)(IEditController* self);
    tresult (*setComponentState)(IEditController* self, IBStream* state);
    tresult (*setState)(IEditController* self, IBStream* state);
    tresult (*getState)(IEditController* self, IBStream* state);
    int32 (*getParameterCount)(IEditController* self);
    tresult (*getParameterInfo)(IEditController* self, int32 paramIndex, ParameterInfo* info);
    tresult (*getParamStringByValue)(IEditController* self, ParamID id, ParamValue valueNormalized, TChar* string);
    tresult (*getParamValueByString)(IEditController* self, ParamID id, TChar* string, ParamValue* valueNormalized);
    ParamValue (*normalizedParamToPlain)(IEditController* self, ParamID id, ParamValue valueNormalized);
    ParamValue (*plainParamToNormalized)(IEditController* self, ParamID id, ParamValue plainValue);
    ParamValue (*getParamNormalized)(IEditController* self, ParamID id);
    tresult (*setParamNormalized)(IEditController* self, ParamID id, ParamValue value);
    tresult (*setComponentHandler)(IEditController* self, IComponentHandler* handler);
    IPlugView* (*createView)(IEditController* self, FIDString name);
};

struct IMidiMappingVtbl {
    VST3_FUNKNOWN_SLOTS(IMidiMapping);
    tresult (*getMidiControllerAssignment)(IMidiMapping* self, int32 busIndex, int16 channel,
                                           CtrlNumber midiControllerNumber, ParamID* id);
};

struct IComponentHandlerVtbl {
    VST3_FUNKNOWN_SLOTS(IComponentHandler);
    tresult (*beginEdit)(IComponentHandler* self, ParamID id);
    tresult (*performEdit)(IComponentHandler* self, ParamID id, ParamValue valueNormalized);
    tresult (*endEdit)(IComponentHandler* self, ParamID id);
    tresult (*restartComponent)(IComponentHandler* self, int32 flags);
};

struct IBStreamVtbl {
    VST3_FUNKNOWN_SLOTS(IBStream);
    tresult (*read)(IBStream* self, void* buffer, int32 numBytes, int32* numBytesRead);
    tresult (*write)(IBStream* self, void* buffer, int32 numBytes, int32* numBytesWritten);
    tresult (*seek)(IBStream* self, int64 pos, int32 mode, int64* result);
    tresult (*tell)(IBStream* self, int64* pos);
};

struct IParameterChangesVtbl {
    VST3_FUNKNOWN_SLOTS(IParameterChanges);
    int32 (*getParameterCount)(IParameterChanges* self);
    IParamValueQueue* (*getParameterData)(IParameterChanges* self, int32 index);
    IParamValueQueue* (*addParameterData)(IParameterChanges* self, const ParamID* id, int32* index);
};

struct IParamValueQueueVtbl {
    VST3_FUNKNOWN_SLOTS(IParamValueQueue);
    ParamID (*getParameterId)(IParamValueQueue* self);
    int32 (*getPointCount)(IParamValueQueue* self);
    tresult (*getPoint)(IParamValueQueue* self, int32 index, int32* sampleOffset, ParamValue* value);
    tresult (*addPoint)(IParamValueQueue* self, int32 sampleOffset, ParamValue value, int32* index);
};

struct IPlugViewVtbl {
    VST3_FUNKNOWN_SLOTS(IPlugView);
    tresult (*isPlatformTypeSupported)(IPlugView* self, FIDString type);
    tresult (*attached)(IPlugView* self, void* parent, FIDString type);
    tresult (*removed)(IPlugView* self);
    tresult (*onWheel)(IPlugView* self, float distance);
    tresult (*onKeyDown)(IPlugView* self, char16 key, int16 keyCode, int16 modifiers);
    tresult (*onKeyUp)(IPlugView* self, char16 key, int16 keyCode, int16 modifiers);
    tresult (*getSize)(IPlugView* self, ViewRect* size);
    tresult (*onSize)(IPlugView* self, ViewRect* newSize);
    tresult (*onFocus)(IPlugView* self, TBool state);
    tresult (*setFrame)(IPlugView* self, IPlugFrame* frame);
    tresult (*canResize)(IPlugView* self);
    tresult (*checkSizeConstraint)(IPlugView* self, ViewRect* rect);
};

struct IPlugFrameVtbl {
    VST3_FUNKNOWN_SLOTS(IPlugFrame);
    tresult (*resizeView)(IPlugFrame* self, IPlugView* view, ViewRect* newSize);
};

struct IRunLoopVtbl {
    VST3_FUNKNOWN_SLOTS(IRunLoop);
    tresult (*registerEventHandler)(IRunLoop* self, IEventHandler* handler, FileDescriptor fd);
    tresult (*unregisterEventHandler)(IRunLoop* self, IEventHandler* handler);
    tresult (*registerTimer)(IRunLoop* self, ITimerHandler* handler, TimerInterval milliseconds);
    tresult (*unregisterTimer)(IRunLoop* self, ITimerHandler* handler);
};

struct ITimerHandlerVtbl {
    VST3_FUNKNOWN_SLOTS(ITimerHandler);
    void (*onTimer)(ITimerHandler* self);
};

struct IEventHandlerVtbl {
    VST3_FUNKNOWN_SLOTS(IEventHandler);
    void (*onFDIsSet)(IEventHandler* self, FileDescriptor fd);
};

struct IHostApplicationVtbl {
    VST3_FUNKNOWN_SLOTS(IHostApplication);
    tresult (*getName)(IHostApplication* self, String128 name);
    tresult (*createInstance)(IHostApplication* self, TUID cid, TUID iid, void** obj);
};

// Slot order is part of the binary interface: pin the positions that matter most.
static_assert(offsetof(IPluginFactory3Vtbl, createInstance) == 6 * sizeof(void*));
static_assert(offsetof(IPluginFactory3Vtbl, setHostContext) == 9 * sizeof(void*));
static_assert(offsetof(IComponentVtbl, getState) == 13 * sizeof(void*));
static_assert(offsetof(IAudioProcessorVtbl, process) == 9 * sizeof(void*));
static_assert(offsetof(IEditControllerVtbl, createView) == 17 * sizeof(void*));
static_assert(offsetof(IPlugViewVtbl, checkSizeConstraint) == 14 * sizeof(void*));
static_assert(offsetof(IRunLoopVtbl, unregisterTimer) == 6 * sizeof(void*));
static_assert(offsetof(IBStreamVtbl, tell) == 6 * sizeof(void*));

}  // namespace vst3
