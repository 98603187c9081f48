// Objective-C type encodings, as method lists, blocks and the stand-ins' tables write them.
#include <cctype>

#include "abi.h"

namespace emulator {

namespace {

class EncodingParser {
 public:
  EncodingParser(std::string_view text, Arch arch) : text_(text), arch_(arch) {}

  bool atEnd() const { return pos_ >= text_.size(); }

  std::optional<Type> type() {
    skipQualifiers();
    if (atEnd()) return std::nullopt;
    const char c = text_[pos_++];
    const unsigned ptr = is64Bit(arch_) ? 8 : 4;
    // iOS armv7 aligns 64-bit scalars to 4 bytes; arm64 to their size.
    const unsigned wideAlign = is64Bit(arch_) ? 8 : 4;
    switch (c) {
      case 'c':
        return scalar(Type::Kind::kSigned, 1, 1);
      case 's':
        return scalar(Type::Kind::kSigned, 2, 2);
      case 'i':
      case 'l':
        return scalar(Type::Kind::kSigned, 4, 4);
      case 'q':
        return scalar(Type::Kind::kSigned, 8, wideAlign);
      case 'C':
      case 'B':
        return scalar(Type::Kind::kUnsigned, 1, 1);
      case 'S':
        return scalar(Type::Kind::kUnsigned, 2, 2);
      case 'I':
      case 'L':
        return scalar(Type::Kind::kUnsigned, 4, 4);
      case 'Q':
        return scalar(Type::Kind::kUnsigned, 8, wideAlign);
      case 'f':
        return scalar(Type::Kind::kFloat, 4, 4);
      case 'd':
      case 'D':
        return scalar(Type::Kind::kDouble, 8, wideAlign);
      case 'v':
        return Type{};
      case '*':
        return scalar(Type::Kind::kPointer, ptr, ptr);
      case '#':
        return scalar(Type::Kind::kClass, ptr, ptr);
      case ':':
        return scalar(Type::Kind::kSelector, ptr, ptr);
      case '?':
        return scalar(Type::Kind::kPointer, ptr, ptr);  // a function (behind ^)
      case '@': {
        Type t = scalar(Type::Kind::kObject, ptr, ptr);
        if (!atEnd() && text_[pos_] == '?') {
          ++pos_;
          t.kind = Type::Kind::kBlock;
          if (!atEnd() && text_[pos_] == '<') skipPast('>');
        } else if (!atEnd() && text_[pos_] == '"') {
          const std::size_t close = text_.find('"', pos_ + 1);
          if (close == std::string_view::npos) return std::nullopt;
          // A class name is followed by a type, never by a digit-led offset: "@\"NSString\"16".
          t.name = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
          pos_ = close + 1;
        }
        return t;
      }
      case '^': {
        auto pointee = type();
        if (!pointee) return std::nullopt;
        Type t = scalar(Type::Kind::kPointer, ptr, ptr);
        t.members.push_back(std::move(*pointee));
        return t;
      }
      case 'b': {  // a bit field: only inside structs we never lay out
        number();
        return scalar(Type::Kind::kUnsigned, 4, 4);
      }
      case '[': {
        const std::uint64_t count = number();
        auto element = type();
        if (!element || atEnd() || text_[pos_] != ']') return std::nullopt;
        ++pos_;
        Type t;
        t.kind = Type::Kind::kArray;
        t.alignment = element->alignment;
        t.size = static_cast<unsigned>(count * element->size);
        t.members.push_back(std::move(*element));
        return t;
      }
      case '{':
      case '(':
        return aggregate(c == '{' ? '}' : ')');
      default:
        return std::nullopt;
    }
  }

  void skipOffset() {
    if (!atEnd() && text_[pos_] == '-') ++pos_;
    while (!atEnd() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  }

 private:
  static Type scalar(Type::Kind kind, unsigned size, unsigned alignment) {
    Type t;
    t.kind = kind;
    t.size = size;
    t.alignment = alignment;
    return t;
  }

  void skipQualifiers() {
    while (!atEnd() && std::string_view("rnNoORVA").find(text_[pos_]) != std::string_view::npos) {
      ++pos_;
    }
  }

  void skipPast(char close) {
    while (!atEnd() && text_[pos_] != close) ++pos_;
    if (!atEnd()) ++pos_;
  }

  std::uint64_t number() {
    std::uint64_t n = 0;
    while (!atEnd() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
      n = n * 10 + static_cast<unsigned>(text_[pos_++] - '0');
      if (n > (1u << 24)) return n;
    }
    return n;
  }

  std::optional<Type> aggregate(char close) {
    Type t;
    t.kind = close == '}' ? Type::Kind::kStruct : Type::Kind::kUnion;
    while (!atEnd() && text_[pos_] != '=' && text_[pos_] != close) t.name.push_back(text_[pos_++]);
    if (atEnd()) return std::nullopt;
    if (text_[pos_] == close) {  // opaque: {name}
      ++pos_;
      return t;
    }
    ++pos_;  // '='
    unsigned offset = 0;
    while (!atEnd() && text_[pos_] != close) {
      if (text_[pos_] == '"') {  // a member's name
        skipPast('"');
        skipPast('"');
        continue;
      }
      auto member = type();
      if (!member) return std::nullopt;
      t.alignment = std::max(t.alignment, member->alignment);
      if (t.kind == Type::Kind::kStruct) {
        offset = (offset + member->alignment - 1) / member->alignment * member->alignment;
        offset += member->size;
      } else {
        offset = std::max(offset, member->size);
      }
      t.members.push_back(std::move(*member));
    }
    if (atEnd()) return std::nullopt;
    ++pos_;
    t.size = (offset + t.alignment - 1) / t.alignment * t.alignment;
    return t;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  Arch arch_;
};

}  // namespace

std::optional<Type> parseType(std::string_view encoding, Arch arch) {
  EncodingParser parser(encoding, arch);
  return parser.type();
}

std::optional<Signature> parseSignature(std::string_view encoding, Arch arch) {
  EncodingParser parser(encoding, arch);
  Signature signature;
  auto returns = parser.type();
  if (!returns) return std::nullopt;
  signature.returns = std::move(*returns);
  parser.skipOffset();
  while (!parser.atEnd()) {
    auto argument = parser.type();
    if (!argument) return std::nullopt;
    signature.arguments.push_back(std::move(*argument));
    parser.skipOffset();
  }
  return signature;
}

bool Type::homogeneousFloat(Kind* member, unsigned* count) const {
  if (kind != Kind::kStruct && kind != Kind::kArray) return false;
  Kind found = Kind::kVoid;
  unsigned n = 0;
  bool ok = true;
  auto visit = [&](auto&& self, const Type& t, unsigned repeat) -> void {
    if (!ok) return;
    if (t.kind == Kind::kStruct) {
      for (const Type& m : t.members) self(self, m, repeat);
    } else if (t.kind == Kind::kArray && !t.members.empty()) {
      const unsigned elements = t.members[0].size ? t.size / t.members[0].size : 0;
      self(self, t.members[0], repeat * elements);
    } else if (t.isFloating()) {
      if (found != Kind::kVoid && found != t.kind) ok = false;
      found = t.kind;
      n += repeat;
    } else {
      ok = false;
    }
  };
  visit(visit, *this, 1);
  if (!ok || n == 0 || n > 4) return false;
  *member = found;
  *count = n;
  return true;
}

std::string Type::describe() const {
  switch (kind) {
    case Kind::kVoid:
      return "void";
    case Kind::kSigned:
      return size == 1 ? "char" : "int" + std::to_string(size * 8);
    case Kind::kUnsigned:
      return size == 1 ? "unsigned char" : "uint" + std::to_string(size * 8);
    case Kind::kFloat:
      return "float";
    case Kind::kDouble:
      return "double";
    case Kind::kPointer:
      return "pointer";
    case Kind::kObject:
      return name.empty() ? "object" : name + " object";
    case Kind::kBlock:
      return "block";
    case Kind::kClass:
      return "class";
    case Kind::kSelector:
      return "selector";
    case Kind::kStruct:
      return "struct " + name;
    case Kind::kArray:
      return "array";
    case Kind::kUnion:
      return "union " + name;
  }
  return "?";
}

Type Type::integer(unsigned size, bool isSigned) {
  Type t;
  t.kind = isSigned ? Kind::kSigned : Kind::kUnsigned;
  t.size = size;
  t.alignment = size;
  return t;
}

Type Type::pointer(Arch arch) {
  Type t;
  t.kind = Kind::kPointer;
  t.size = t.alignment = is64Bit(arch) ? 8 : 4;
  return t;
}

Type Type::object(Arch arch) {
  Type t = pointer(arch);
  t.kind = Kind::kObject;
  return t;
}

Type Type::f32() {
  Type t;
  t.kind = Kind::kFloat;
  t.size = t.alignment = 4;
  return t;
}

Type Type::f64() {
  Type t;
  t.kind = Kind::kDouble;
  t.size = t.alignment = 8;
  return t;
}

Argument Argument::pointer(Arch arch, std::uint64_t address) {
  return {Type::pointer(arch), address, {}};
}

Argument Argument::integer(std::uint64_t value, unsigned size, bool isSigned) {
  return {Type::integer(size, isSigned), value, {}};
}

Argument Argument::f32(float value) {
  std::uint32_t bits = 0;
  static_assert(sizeof bits == sizeof value);
  __builtin_memcpy(&bits, &value, sizeof bits);
  return {Type::f32(), bits, {}};
}

Argument Argument::f64(double value) {
  std::uint64_t bits = 0;
  __builtin_memcpy(&bits, &value, sizeof bits);
  return {Type::f64(), bits, {}};
}

Argument Argument::aggregate(Type type, std::vector<std::uint8_t> bytes) {
  return {std::move(type), 0, std::move(bytes)};
}

}  // namespace emulator
