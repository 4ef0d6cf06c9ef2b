#pragma once

bool ShowLoginDialog();
