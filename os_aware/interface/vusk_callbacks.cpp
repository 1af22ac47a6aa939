// vusk_callbacks: the process-wide callback table and the typed-value
// helpers; see vusk_callbacks.h.
#include "os_aware/interface/vusk_callbacks.h"

VuskCallbackTable vuskCallbackTable = {};

namespace {

// How an integer of each type code is laid out in the payload.
enum ValueShape { kShapeText, kShapeSigned, kShapeUnsigned, kShapeFloat };

struct ValueLayout {
  ValueShape shape;
  int width;  // bytes
};

constexpr ValueLayout kValueLayout[] = {
    {kShapeText, 8},      // 0 string
    {kShapeSigned, 1},    // 1
    {kShapeUnsigned, 1},  // 2
    {kShapeSigned, 2},    // 3
    {kShapeUnsigned, 2},  // 4
    {kShapeSigned, 4},    // 5
    {kShapeUnsigned, 4},  // 6
    {kShapeUnsigned, 8},  // 7 address
    {kShapeFloat, 4},     // 8
    {kShapeFloat, 8},     // 9
    {kShapeSigned, 8},    // 10
    {kShapeUnsigned, 8},  // 11
};
static_assert(sizeof(kValueLayout) / sizeof(kValueLayout[0]) == VUSK_TYPE_COUNT, "one layout per type code");

const ValueLayout* LayoutOf(int32_t type) {
  if (type < 0 || type >= VUSK_TYPE_COUNT) return nullptr;
  return &kValueLayout[type];
}

int64_t ReadSigned(const VuskValue* value, int width) {
  switch (width) {
    case 1: return value->value.i8;
    case 2: return value->value.i16;
    case 4: return value->value.i32;
    default: return value->value.i64;
  }
}

uint64_t ReadUnsigned(const VuskValue* value, int width) {
  switch (width) {
    case 1: return value->value.u8;
    case 2: return value->value.u16;
    case 4: return value->value.u32;
    default: return value->value.u64;
  }
}

}  // namespace

VuskValue VuskValueOfType(int32_t type) {
  VuskValue value{};
  value.type = type;
  return value;
}

int64_t VuskValueToInt64(const VuskValue* value) {
  const ValueLayout* layout = LayoutOf(value->type);
  if (!layout || layout->shape == kShapeText) return value->value.i64;
  switch (layout->shape) {
    case kShapeSigned: return ReadSigned(value, layout->width);
    case kShapeUnsigned: return static_cast<int64_t>(ReadUnsigned(value, layout->width));
    default: break;
  }
  double real = layout->width == 4 ? value->value.f32 : value->value.f64;
  // Out-of-range conversions are undefined; such a number has no integer answer.
  if (!(real > -9.2e18 && real < 9.2e18)) return 0;
  return static_cast<int64_t>(real);
}

bool VuskValueTypeIsInteger(int32_t type) {
  const ValueLayout* layout = LayoutOf(type);
  return layout && (layout->shape == kShapeSigned || layout->shape == kShapeUnsigned);
}

void VuskValueStoreInteger(VuskValue* value, uint64_t number) {
  const ValueLayout* layout = LayoutOf(value->type);
  if (!layout || layout->shape == kShapeText) return;
  if (layout->shape == kShapeFloat) {
    if (layout->width == 4) {
      value->value.f32 = static_cast<float>(number);
    } else {
      value->value.f64 = static_cast<double>(number);
    }
    return;
  }
  switch (layout->width) {
    case 1: value->value.u8 = static_cast<uint8_t>(number); break;
    case 2: value->value.u16 = static_cast<uint16_t>(number); break;
    case 4: value->value.u32 = static_cast<uint32_t>(number); break;
    default: value->value.u64 = number; break;
  }
}

bool VuskSlotFilled(const VuskCallbackTable* table, int32_t slot) {
  switch (slot) {
#define VUSK_SLOT_CASE(Suffix, member, Type) \
  case kSlot##Suffix: return table->member != nullptr;
    VUSK_SLOT_LIST(VUSK_SLOT_CASE)
#undef VUSK_SLOT_CASE
    default: return false;
  }
}
