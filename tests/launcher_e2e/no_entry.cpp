// A "Tarnwell.dll" without the user-interface entry, for the launcher's failure path.
extern "C" int NotTheEntry() {
    return 0;
}
