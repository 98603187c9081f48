#include "stand_in.h"

namespace emulator {

std::string encodingFor(Arch arch, std::string_view types) {
  const bool wide = is64Bit(arch);
  std::string out;
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (types[i] != '%' || i + 1 == types.size()) {
      out.push_back(types[i]);
      continue;
    }
    switch (types[++i]) {
      case 'I':
        out.push_back(wide ? 'q' : 'i');
        break;
      case 'U':
        out.push_back(wide ? 'Q' : 'I');
        break;
      case 'B':
        out.push_back(wide ? 'B' : 'c');
        break;
      case 'F':
        out.push_back(wide ? 'd' : 'f');
        break;
      default:
        out.push_back('%');
        out.push_back(types[i]);
    }
  }
  return out;
}

ClassBuilder& ClassBuilder::instance(const std::string& selector, std::string_view types,
                                     NativeMethod method) {
  runtime_.addMethod(cls_, false, selector, encodingFor(runtime_.arch(), types), std::move(method),
                     source_, std::string(types));
  return *this;
}

ClassBuilder& ClassBuilder::classMethod(const std::string& selector, std::string_view types,
                                        NativeMethod method) {
  runtime_.addMethod(cls_, true, selector, encodingFor(runtime_.arch(), types), std::move(method),
                     source_, std::string(types));
  return *this;
}

ClassBuilder defineStandIn(Runtime& runtime, const std::string& name, const std::string& superclass,
                           const std::string& source, std::uint32_t instanceSize) {
  ClassInfo& cls = runtime.defineClass(name, superclass, instanceSize);
  return ClassBuilder(runtime, cls, source);
}

Argument none() {
  return {};
}

Argument object(const Runtime& runtime, Address value) {
  return Argument{Type::object(runtime.arch()), value, {}};
}

Argument boolean(bool value) {
  return Argument::integer(value ? 1 : 0, 1, false);
}

Argument integerResult(std::int64_t value) {
  return Argument::integer(static_cast<std::uint64_t>(value), 8, true);
}

Argument doubleResult(double value) {
  return Argument::f64(value);
}

Argument floatResult(float value) {
  return Argument::f32(value);
}

Argument autoreleased(Runtime& runtime, Address value) {
  return object(runtime, runtime.autorelease(value));
}

ClassInfo* instanceClass(const Message& message) {
  ClassInfo* cls = message.runtime.classAt(message.self);
  return cls && !cls->isMeta ? cls : nullptr;
}

std::optional<std::string> stringArgument(const Message& message, std::size_t index) {
  return message.runtime.stringOf(message.object(index));
}

}  // namespace emulator
