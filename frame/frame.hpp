// frame.hpp: everything a framewick module's source needs from the shared frame.
#pragma once

#include "binding.hpp"
#include "constants.hpp"
#include "function.hpp"
#include "imports.hpp"
#include "module.hpp"
#include "object.hpp"
#include "status.hpp"
