// Platform declarations that the module needs on both builds but that the MinGW-w64
// headers do not carry.
#pragma once
