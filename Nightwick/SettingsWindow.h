#pragma once

// Placeholder: the settings window arrives with its own change.
