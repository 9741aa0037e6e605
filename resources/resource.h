// Resource ids of the program.
#pragma once

#define IDI_PAKRILL 101
