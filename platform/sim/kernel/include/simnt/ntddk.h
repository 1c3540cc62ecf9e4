// The simulated kernel's DDK surface: what drivers see on the Linux build.
#pragma once
#include "simnt/ntdef.h"
#include "simnt/ke.h"
#include "simnt/ex.h"
#include "simnt/rtl.h"
#include "simnt/ntreg.h"
