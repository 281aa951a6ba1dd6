#include "test_files.h"
