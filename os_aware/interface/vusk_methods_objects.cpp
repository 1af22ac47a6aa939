// vusk_methods_objects: the methods about kernel objects: the object list
// walk (init, next, attribute, cleanup), the GUI object check, change and
// life-cycle queries and message injection.
//
// The object selector names a kind and, optionally, a parent object whose
// own list (for instance the threads waiting on one semaphore) is meant.
#include "os_aware/interface/vusk_methods.h"
#include "shared/port_alloc.h"

namespace {

// ---- Object selector and identity ----------------------------------------------

struct ObjectSelector {
  int32_t objTypeId;
  bool hasParent;
  VuskParentRef parent;
};

// "objTypeId" (req); with "parentObjTypeId" also "parentObjId" (req) and
// "parentObjListId" (default -1).
bool ReadSelector(const JsonValue* params, ObjectSelector* selector) {
  selector->parent = VuskParentRef{0, -1, -1, 0};
  if (!JsonGetInt32(params, "objTypeId", &selector->objTypeId)) return false;
  selector->hasParent = JsonGetInt32(params, "parentObjTypeId", &selector->parent.parentObjTypeId);
  if (!selector->hasParent) return true;
  if (!JsonGetUInt64(params, "parentObjId", &selector->parent.parentObjId)) return false;
  selector->parent.parentObjListId = VuskParamInt32Or(params, "parentObjListId", -1);
  return true;
}

const VuskParentRef* ParentOf(const ObjectSelector* selector) {
  return selector->hasParent ? &selector->parent : nullptr;
}

// All optional: "objTypeId" (-1), "objId" (0), "subObjTypeId" (-1).
struct ObjectIdentity {
  int32_t objTypeId;
  uint64_t objId;
  int32_t subObjTypeId;
};

ObjectIdentity ReadIdentity(const JsonValue* params) {
  ObjectIdentity identity{-1, 0, -1};
  JsonGetInt32(params, "objTypeId", &identity.objTypeId);
  JsonGetUInt64(params, "objId", &identity.objId);
  JsonGetInt32(params, "subObjTypeId", &identity.subObjTypeId);
  return identity;
}

// ---- The list walk -------------------------------------------------------------

int CallListSlot(VuskObjectListFn fn, VUSK_ServiceCntx* context, const ObjectSelector* selector) {
  if (!fn) return kStatusOk;
  return fn(context, &context->info, context->targetData, selector->objTypeId, ParentOf(selector));
}

int ObjectListInitBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  ObjectSelector selector;
  if (!ReadSelector(params, &selector)) return kStatusFailed;
  context->showAllObjects = VuskParamFlagOr(params, "showAllObjects", false);
  VuskInfoSet(&context->info, kInfoShowObjectNumber, true);
  int status = CallListSlot(vuskCallbackTable.objectListInit, context, &selector);
  VuskAddFlag(result, "showObjectNumber", VuskInfoHas(&context->info, kInfoShowObjectNumber));
  return status;
}

int ObjectListCleanupBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue*) {
  ObjectSelector selector;
  if (!ReadSelector(params, &selector)) return kStatusFailed;
  return CallListSlot(vuskCallbackTable.objectListCleanup, context, &selector);
}

int ObjectListNextBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue*) {
  ObjectSelector selector;
  if (!ReadSelector(params, &selector)) return kStatusFailed;
  return CallListSlot(vuskCallbackTable.objectListNext, context, &selector);
}

int ObjectListAttributeBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  ObjectSelector selector;
  int32_t objAtrId = 0, valueType = 0;
  if (!ReadSelector(params, &selector)) return kStatusFailed;
  if (!JsonGetInt32(params, "objAtrId", &objAtrId)) return kStatusFailed;
  if (!JsonGetInt32(params, "valueType", &valueType)) return kStatusFailed;
  VuskValue value = VuskValueOfType(VuskValueTypeIsInteger(valueType) ? VUSK_TYPE_UINT64 : VUSK_TYPE_STRING);
  int status = kStatusOk;
  if (vuskCallbackTable.objectListAttribute) {
    status = vuskCallbackTable.objectListAttribute(context, &context->info, context->targetData, selector.objTypeId,
                                                   ParentOf(&selector), objAtrId, &value);
  }
  if (status == kStatusOk) VuskAddValue(result, "objAtrValue", &value, kFormByType);
  VuskFreeValueText(&value);
  return status;
}

// ---- Other object queries ------------------------------------------------------

int GuiObjectCheckBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  VuskGuiObject in{nullptr, 0, 0};
  bool visible = false;
  if (!JsonGetString(params, "objTypeName", &in.objTypeName)) return kStatusFailed;
  if (!JsonGetInt32(params, "objTypeId", &in.objTypeId)) return kStatusFailed;
  if (!VuskParamFlag(params, "visible", &visible)) return kStatusFailed;
  in.visible = visible;
  VuskGuiObject out{nullptr, in.objTypeId, in.visible};
  int status = kStatusOk;
  if (vuskCallbackTable.guiObjectCheck) {
    status = vuskCallbackTable.guiObjectCheck(context, &context->info, context->targetData, &in, &out);
  }
  if (status == kStatusOk) {
    JsonAddString(result, "objTypeName", out.objTypeName ? out.objTypeName : in.objTypeName);
    VuskAddFlag(result, "visible", out.visible != 0);
  }
  // A name of the callback's own is freed even when it failed.
  if (out.objTypeName && out.objTypeName != in.objTypeName) PortFree(const_cast<char*>(out.objTypeName));
  return status;
}

int ObjectChangedCheckBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  ObjectIdentity identity = ReadIdentity(params);
  VuskValue mask = VuskValueOfType(VUSK_TYPE_UINT64);
  int status = kStatusOk;
  if (vuskCallbackTable.objectChangedCheck) {
    status = vuskCallbackTable.objectChangedCheck(context, &context->info, context->targetData, identity.objTypeId,
                                                  identity.objId, identity.subObjTypeId, &mask);
  }
  if (status == kStatusOk) VuskAddValue(result, "changeMask", &mask, kFormInt64);
  return status;
}

int LifeCycleCountsGetBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue* result) {
  ObjectIdentity identity = ReadIdentity(params);
  VuskValue count = VuskValueOfType(VUSK_TYPE_UINT64);
  VuskValue* lifeCycle = nullptr;
  int status = kStatusOk;
  if (vuskCallbackTable.lifeCycleCountsGet) {
    status = vuskCallbackTable.lifeCycleCountsGet(context, &context->info, context->targetData, identity.objTypeId,
                                                  identity.objId, identity.subObjTypeId, &count, &lifeCycle);
  }
  if (status == kStatusOk) {
    int64_t n = VuskValueToInt64(&count);
    JsonAddInt64(result, "count", n);
    if (!VuskAddRecordArray(result, "lifeCycle", lifeCycle, n)) status = kStatusFailed;
  }
  PortFree(lifeCycle);
  return status;
}

int MessageInjectBody(VUSK_ServiceCntx* context, const JsonValue* params, JsonValue*) {
  int32_t objTypeId = 0;
  uint64_t objId = 0;
  const char* message = nullptr;
  if (!JsonGetInt32(params, "objTypeId", &objTypeId)) return kStatusFailed;
  if (!JsonGetUInt64(params, "objId", &objId)) return kStatusFailed;
  if (!JsonGetString(params, "message", &message)) return kStatusFailed;
  if (!vuskCallbackTable.messageInject) return kStatusOk;
  return vuskCallbackTable.messageInject(context, &context->info, context->targetData, objTypeId, objId, message);
}

}  // namespace

JsonValue* VuskMethodObjectListInit(const JsonValue* params) { return VuskRunOnContext(params, ObjectListInitBody); }
JsonValue* VuskMethodObjectListCleanup(const JsonValue* params) {
  return VuskRunOnContext(params, ObjectListCleanupBody);
}
JsonValue* VuskMethodObjectListNext(const JsonValue* params) { return VuskRunOnContext(params, ObjectListNextBody); }
JsonValue* VuskMethodObjectListAttribute(const JsonValue* params) {
  return VuskRunOnContext(params, ObjectListAttributeBody);
}
JsonValue* VuskMethodGuiObjectCheck(const JsonValue* params) { return VuskRunOnContext(params, GuiObjectCheckBody); }
JsonValue* VuskMethodObjectChangedCheck(const JsonValue* params) {
  return VuskRunOnContext(params, ObjectChangedCheckBody);
}
JsonValue* VuskMethodLifeCycleCountsGet(const JsonValue* params) {
  return VuskRunOnContext(params, LifeCycleCountsGetBody);
}
JsonValue* VuskMethodMessageInject(const JsonValue* params) { return VuskRunOnContext(params, MessageInjectBody); }
