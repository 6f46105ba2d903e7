// A module with nothing in it: the dynamic loader's floor (BM_ModuleFloor).
extern "C" int tolmix_empty_module() { return 0; }
