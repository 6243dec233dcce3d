#pragma once

// Placeholder: the palette, font and block bar arrive with the reminder card.
