// A small streaming JSON writer with two-space indentation.
#pragma once
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace fxhost {

class JsonWriter {
  public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}

    JsonWriter& BeginObject() { return Open('{'); }
    JsonWriter& EndObject() { return Close('}'); }
    JsonWriter& BeginArray() { return Open('['); }
    // An array whose items stay on one line (for short lists of numbers).
    JsonWriter& BeginInlineArray();
    JsonWriter& EndArray() { return Close(']'); }
    // The name of the next member of the current object.
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    // A number already in JSON form ("0.02", "1e-05").
    JsonWriter& RawNumber(std::string_view number);
    // A finite number, shortest round-trip form; non-finite values become null.
    JsonWriter& Number(double value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    static std::string Quote(std::string_view text);

  private:
    JsonWriter& Open(char bracket);
    JsonWriter& Close(char bracket);
    void BeforeValue();
    void NewLine();

    std::ostream& out_;
    struct Container {
        bool hasItems = false;
        bool inlined = false;
    };
    std::vector<Container> open_;
    bool afterKey_ = false;
};

}  // namespace fxhost
