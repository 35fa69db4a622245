// A "Tarnwell.dll" without the user-interface entry, for the launcher's failure path. Its only
// export has ordinal 2 (no_entry.def): a DLL's first export otherwise gets ordinal 1, which is
// where the launcher looks for the entry.
extern "C" int NotTheEntry() {
    return 0;
}
