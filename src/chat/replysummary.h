#pragma once

#include "api/service.h"

#include <QString>

// The notice after a completed reply: the credits it used, and whether the service cut it
// short.
QString replySummary(const service::FinishedReply& reply);
