// Boilerplate shared by the per-library loader units (included by them only).
#pragma once

#include "LibraryUnit.h"
#include "MediaHeaders.h"

#define VIDLOMAT_DEFINE_POINTER(name) decltype(&::name) name = nullptr;
#define VIDLOMAT_BIND_POINTER(name) Unit.BindFunction(#name, ff::name);
#define VIDLOMAT_CLEAR_POINTER(name) ff::name = nullptr;

// Defines the function table of one library and its TLibraryUnit.
#define VIDLOMAT_DEFINE_UNIT(UnitVar, LIST, BaseName, Major, VersionFunction) \
  namespace ff {                                                               \
  LIST(VIDLOMAT_DEFINE_POINTER)                                                \
  }                                                                            \
  namespace {                                                                  \
  void BindAllFunctions(TLibraryUnit& Unit) { LIST(VIDLOMAT_BIND_POINTER) }    \
  void ClearAllFunctions() { LIST(VIDLOMAT_CLEAR_POINTER) }                    \
  unsigned RuntimeVersion() { return ff::VersionFunction(); }                  \
  }                                                                            \
  TLibraryUnit UnitVar{BaseName, Major, BindAllFunctions, ClearAllFunctions, RuntimeVersion};
