// A minimal run-time type registry: serialisable types enter a record of themselves at load,
// so that an object can be made from its class name.
#pragma once

#include <cstdint>

namespace velko {

class Archive;
class SerialObject;

struct RuntimeType {
    const char* className;
    uint32_t schema;
    SerialObject* (*create)();  // a new default object, owned by the caller
    const RuntimeType* base;    // null for the root type
    const RuntimeType* next = nullptr;

    // Enters `type` into the list of run-time types; returns it.
    static const RuntimeType* enter(RuntimeType& type);
    // The registered type named `className`, or null.
    static const RuntimeType* find(const char* className);
};

// The root of the serialisable types.
class SerialObject {
  public:
    virtual const RuntimeType* runtimeType() const { return &rootType; }
    virtual ~SerialObject() = default;
    virtual void serialize(Archive& archive) = 0;

    static RuntimeType rootType;
};

// Makes a new object of the registered type named `className`; null when there is none.
SerialObject* createObject(const char* className);

}  // namespace velko
