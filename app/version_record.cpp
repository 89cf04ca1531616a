// The program's version record. An ELF program has no version resource, so the entries live as
// "Name=Value" strings, each NUL-terminated, in a section of their own, ".tamsel.version", the
// same way the filter library carries its record. Read them with
//     readelf -p .tamsel.version Tamsel
// "Translation" is Japanese (0411) with the Unicode code page 1200 (04B0).

namespace {

__attribute__((section(".tamsel.version"), used)) const char kVersionRecord[] =
    "FileVersionNumber=0.1.0.12\0"
    "ProductVersionNumber=0.1.0.12\0"
    "FileType=APP\0"
    "Translation=0411 04B0\0"
    "FileDescription=Velora DV Color Bar Generator\0"
    "FileVersion=0.1.12\0"
    "InternalName=Tamsel\0"
    "OriginalFilename=Tamsel.EXE\0"
    "ProductName=Velora DV Color Bar Generator\0"
    "ProductVersion=0.1.12\0"
    "Comments=\0"
    "CompanyName=\0"
    "LegalTrademarks=\0"
    "PrivateBuild=\0"
    "SpecialBuild=";

}  // namespace
