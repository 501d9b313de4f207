#!/usr/bin/env python3
"""Checks the version resource of a Windows binary: the fixed file information (file and
product version numbers, file type) and the FileVersion, ProductVersion and
OriginalFilename strings, against the project's version text."""
import argparse
import struct
import sys


def utf16(text):
    return text.encode("utf-16-le")


def string_value(data, key, start):
    """The value of a StringFileInfo entry: key, NUL, padding to 4 bytes, value, NUL."""
    at = data.find(utf16(key) + b"\0\0", start)
    if at < 0:
        return None
    at += len(utf16(key)) + 2
    while at % 4:
        at += 1
    end = data.find(b"\0\0", at)
    while end >= 0 and (end - at) % 2:
        end = data.find(b"\0\0", end + 1)
    return data[at:end].decode("utf-16-le") if end >= 0 else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--version", required=True, help="version text, e.g. 2026.04.1.0")
    parser.add_argument("--type", choices=["app", "dll"], required=True)
    parser.add_argument("--name", required=True, help="expected OriginalFilename")
    args = parser.parse_args()

    data = open(args.binary, "rb").read()
    errors = []
    key = data.find(utf16("VS_VERSION_INFO") + b"\0\0")
    if key < 0:
        print(f"{args.binary}: no version resource")
        return 1
    fixed = data.find(struct.pack("<I", 0xFEEF04BD), key)
    if fixed < 0 or fixed - key > 64:
        print(f"{args.binary}: no fixed file information after VS_VERSION_INFO")
        return 1
    (_, _, file_ms, file_ls, product_ms, product_ls, _, _, _, file_type, _) = struct.unpack_from(
        "<11I", data, fixed)
    parts = [int(p) for p in args.version.split(".")]
    while len(parts) < 4:
        parts.append(0)
    want_ms, want_ls = (parts[0] << 16) | parts[1], (parts[2] << 16) | parts[3]
    if (file_ms, file_ls) != (want_ms, want_ls):
        errors.append(f"file version {file_ms >> 16}.{file_ms & 0xFFFF}.{file_ls >> 16}."
                      f"{file_ls & 0xFFFF}, expected {args.version}")
    if (product_ms, product_ls) != (want_ms, want_ls):
        errors.append(f"product version does not match {args.version}")
    want_type = 1 if args.type == "app" else 2
    if file_type != want_type:
        errors.append(f"file type {file_type}, expected {want_type}")
    for name, want in (("FileVersion", args.version), ("ProductVersion", args.version),
                       ("OriginalFilename", args.name)):
        got = string_value(data, name, key)
        if got != want:
            errors.append(f"{name} is {got!r}, expected {want!r}")
    for e in errors:
        print(f"{args.binary}: {e}")
    if not errors:
        print(f"{args.binary}: version resource {args.version} ({args.type}, {args.name})")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
