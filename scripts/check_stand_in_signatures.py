#!/usr/bin/env python3
"""Checks the emulator's stand-ins of public system classes against the SDK's headers.

Each stand-in method names the header its signature comes from; a private class's (the binding's
own declaration) is left out. For every public one this writes a small Objective-C++ file that
sends the message with arguments that convert only to exactly the declared types and checks the
result's type, then compiles it against the SDK for iOS 7.0: a wrong type, a selector the headers
lack, or a method introduced after iOS 7 fails the compile.

  check_stand_in_signatures.py SDK SIGNATURES   (SIGNATURES: emulator_signatures' output)
"""
import json
import os
import re
import subprocess
import sys
import tempfile

CLANG = "/usr/lib/llvm-16/bin/clang++"

# Structures the encodings leave anonymous, by their encoding.
NAMED_STRUCTS = {
    "{?=qiIq}": "CMTime",
    "{?=ddd}": "CMAcceleration",
    "{CGRect={CGPoint=dd}{CGSize=dd}}": "CGRect",
    "{CGRect={CGPoint=%F%F}{CGSize=%F%F}}": "CGRect",
    "{_NSZone=}": "NSZone",
    "{?=%U^@^%U[5%U]}": "NSFastEnumerationState",
}
SCALARS = {
    "%I": "NSInteger", "%U": "NSUInteger", "%B": "BOOL", "%F": "CGFloat",
    "c": "char", "i": "int", "s": "short", "l": "int", "q": "long long",
    "C": "unsigned char", "I": "unsigned int", "S": "unsigned short", "L": "unsigned int",
    "Q": "unsigned long long", "f": "float", "d": "double", "B": "bool", "v": "void",
    "#": "Class", ":": "SEL",
}


def tokens(types):
    """Splits an encoding into its types: (kind, C type or None) pairs."""
    out, i = [], 0
    while i < len(types):
        const = False
        while types[i] in "rnNoORV":
            const = const or types[i] == "r"
            i += 1
        if types[i] == "%":
            out.append(("exact", SCALARS[types[i:i + 2]]))
            i += 2
        elif types[i] == "@":
            if types[i + 1:i + 2] == "?":
                out.append(("block", None))
                i += 2
            else:
                out.append(("object", None))
                i += 1
        elif types[i] == "*":
            out.append(("exact", "const char*" if const else "char*"))
            i += 1
        elif types[i] == "^":
            target = types[i + 1]
            if target == "@":
                out.append(("objectOut", None))
                i += 2
            elif target == "v":
                out.append(("exact", "const void*" if const else "void*"))
                i += 2
            elif target == "{":
                end = matching(types, i + 1)
                out.append(("exact", NAMED_STRUCTS[types[i + 1:end + 1]] + "*"))
                i = end + 1
            else:
                out.append(("exact", SCALARS[target] + "*"))
                i += 2
        elif types[i] == "{":
            end = matching(types, i)
            out.append(("exact", NAMED_STRUCTS[types[i:end + 1]]))
            i = end + 1
        else:
            out.append(("exact", SCALARS[types[i]]))
            i += 1
    return out


def matching(text, start):
    depth = 0
    for i in range(start, len(text)):
        depth += text[i] == "{"
        depth -= text[i] == "}"
        if depth == 0:
            return i
    raise ValueError(text)


def argument(kind, ctype):
    return {"exact": f"Exactly<{ctype}>{{}}", "object": "AnyObject{}", "block": "AnyObject{}",
            "objectOut": "AnyObjectOut{}"}[kind]


def result_check(kind, ctype, what):
    if kind in ("object", "block"):
        return f'static_assert(std::is_convertible_v<R, id>, "{what} returns an object");'
    return f'static_assert(Matches<R, {ctype}>::value, "{what} returns {ctype}");'


def header_of(source):
    """The header to import for a source, or None for a private class."""
    if "private" in source or "/" not in source:
        return None
    if source.startswith("usr/include/"):
        return source[len("usr/include/"):]
    return source


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    sdk, listing = sys.argv[1:3]
    methods = [json.loads(line) for line in open(listing) if line.strip()]
    headers, checks, checked, private = set(), [], 0, 0
    for n, method in enumerate(methods):
        header = header_of(method["source"])
        if header is None:
            private += 1
            continue
        headers.add(header)
        types = tokens(method["types"])
        returns, arguments = types[0], types[3:]  # return, self, _cmd, arguments
        parts = method["selector"].split(":")
        if arguments:
            message = " ".join(f"{part}:{argument(*arg)}" for part, arg in zip(parts, arguments))
        else:
            message = method["selector"]
        receiver = method["class"] if method["classMethod"] else f"(({method['class']}*)nil)"
        what = f"{'+' if method['classMethod'] else '-'}[{method['class']} {method['selector']}]"
        checks.append(f"// {what} ({method['source']})\n"
                      f"static void check{n}() {{\n"
                      f"  using R = decltype([{receiver} {message}]);\n"
                      f"  {result_check(*returns, what)}\n}}\n")
        checked += 1
    source = "\n".join(f"#import <{h}>" for h in sorted(headers)) + """
#include <type_traits>
// U is T, or an enumeration whose underlying type is T (NS_ENUM types).
template <class U, class T, class = void> struct Matches : std::is_same<U, T> {};
template <class U, class T>
struct Matches<U, T, std::enable_if_t<std::is_enum_v<U>>>
    : std::is_same<std::underlying_type_t<U>, T> {};
// Converts only to exactly T: an argument of another type does not compile.
template <class T> struct Exactly {
  template <class U, class = std::enable_if_t<Matches<U, T>::value>> operator U() const;
};
struct AnyObject {
  template <class U, class = std::enable_if_t<std::is_convertible_v<U, id>>> operator U() const;
};
struct AnyObjectOut {
  template <class U, class = std::enable_if_t<std::is_pointer_v<U> &&
                                              std::is_convertible_v<std::remove_pointer_t<U>, id>>>
  operator U() const;
};
""" + "\n".join(checks)
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "signatures.mm")
        with open(path, "w") as f:
            f.write(source)
        result = subprocess.run(
            [CLANG, "-target", "arm64-apple-ios7.0", "-isysroot", sdk, "-fsyntax-only",
             "-x", "objective-c++", "-std=c++17", "-fno-objc-arc", "-Wno-deprecated-declarations",
             "-Werror=unguarded-availability", "-Werror=unguarded-availability-new",
             "-Werror=objc-method-access", path],
            capture_output=True, text=True)
        if result.returncode != 0:
            errors = [line for line in result.stderr.splitlines() if "error:" in line]
            print(f"stand-in signatures: {len(errors)} disagree with the SDK's headers")
            for line in errors[:20]:
                print("  " + re.sub(r"^.*signatures\.mm:\d+:\d+: ", "", line))
            return 1
    print(f"stand-in signatures: {checked} public methods agree with the SDK's headers "
          f"({private} of private classes follow the binding's own declarations)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
