// The C++ layer over the CPython stable C API shared by every vantry module.
#pragma once

#include "ref.hpp"
#include "gil.hpp"
#include "obj.hpp"
#include "args.hpp"
#include "module.hpp"
#include "num.hpp"
#include "native.hpp"
