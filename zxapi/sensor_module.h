// The device wrapper's two item operations, without its status checks:
// CountXmlItems and GetXmlItem read a module's cached values or setup record
// from the XML client and decode it with the sensor buffers of the document
// code. They are public (kalax/zxapi_sensor.h).
#pragma once

#include "kalax/zxapi_sensor.h"
#include "sdk/xmldoc/sensor.h"
