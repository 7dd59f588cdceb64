// The whole media graph's public interface in one include.
#pragma once

#include "capture_interfaces.h"
#include "device_interfaces.h"
#include "filter_classes.h"
#include "filter_interfaces.h"
#include "graph_interfaces.h"
#include "media_types.h"
#include "recording_interfaces.h"
#include "sample_grabber.h"
