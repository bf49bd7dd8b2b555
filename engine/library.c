/* The shared library is the engine archive linked whole; this unit only gives
   CMake a source to attach the target to. */
typedef int ostrel_library_anchor;
