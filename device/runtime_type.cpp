#include "device/runtime_type.h"

#include <cstring>

namespace velko {
namespace {

const RuntimeType* firstType = nullptr;

}  // namespace

RuntimeType SerialObject::rootType{"SerialObject", 0, nullptr, nullptr};

const RuntimeType* RuntimeType::enter(RuntimeType& type) {
    type.next = firstType;
    firstType = &type;
    return &type;
}

const RuntimeType* RuntimeType::find(const char* className) {
    for (const RuntimeType* t = firstType; t; t = t->next) {
        if (std::strcmp(t->className, className) == 0) return t;
    }
    return nullptr;
}

SerialObject* createObject(const char* className) {
    const RuntimeType* type = RuntimeType::find(className);
    return type && type->create ? type->create() : nullptr;
}

}  // namespace velko
