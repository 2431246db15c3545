// Every OS service at once, while includers move to the headers by concern.
#pragma once

#include "platform/clock.h"
#include "platform/display_adapters.h"
#include "platform/fatal.h"
#include "platform/file_checks.h"
#include "platform/files.h"
#include "platform/log_file.h"
#include "platform/path_rules.h"
#include "platform/process.h"
#include "platform/stop.h"
#include "platform/text.h"
