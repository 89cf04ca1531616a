// The library's version record. An ELF file has no version resource, so the same entries live
// as "Name=Value" strings, each NUL-terminated, in a section of their own, ".tamsel.version".
// Read them with
//     readelf -p .tamsel.version tamsel.ax
// or extract the raw bytes with
//     objcopy -O binary --only-section=.tamsel.version tamsel.ax version.bin
// "OLESelfRegister" marks the library as self-registering (registration tools may call
// DllRegisterServer); "Translation" is language neutral (0000) with code page 1252 (04E4).

namespace {

__attribute__((section(".tamsel.version"), used)) const char kVersionRecord[] =
    "FileVersionNumber=1.0.0.0\0"
    "ProductVersionNumber=1.0.0.0\0"
    "FileType=DLL\0"
    "Translation=0000 04E4\0"
    "FileDescription=Velora Color Bar Filter for DXM\0"
    "FileVersion=1.00.00\0"
    "InternalName=tamsel.ax\0"
    "OriginalFilename=tamsel.ax\0"
    "ProductName=Velora Color Bar Filter for DXM\0"
    "ProductVersion=1.00.00\0"
    "OLESelfRegister=AM20\0"
    "ActiveMovie=Filter dll\0"
    "Comments=\0"
    "LegalTrademarks=\0"
    "PrivateBuild=\0"
    "SpecialBuild=";

}  // namespace
