// An article code of up to 14 decimal digits, held as 7 bytes of packed BCD.
#pragma once

#include <cstdint>

#include "device/runtime_type.h"

namespace velko {

class Plu : public SerialObject {
  public:
    Plu() = default;

    const RuntimeType* runtimeType() const override { return &type; }
    void serialize(Archive& archive) override;

    // Sets the value from 1 to 14 decimal digits that are not all zeros; false otherwise.
    bool parse(const char* text);
    // The 14 digits, in a buffer that every Plu of this thread shares: valid until the thread's
    // next call on any Plu.
    const char* format() const;

    const uint8_t* bytes() const { return bcd_; }

    static RuntimeType type;
    // Enters the type record into the list of run-time types, once however often it is
    // called. The library calls it while it loads, right after its link object is built.
    static const RuntimeType* registerType();

  private:
    uint8_t bcd_[7] = {};
};

}  // namespace velko
