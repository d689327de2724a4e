// The shared library's one exported symbol is EntryPointFunc, defined in
// entry.cpp (linked from vel_plugin); this unit only anchors the target.
