#pragma once

// Single-line text fields as accessibility clients see them. Qt Quick hands a
// masked field's plain text to any client that asks, while the screen shows
// dots; the interface installed here answers with the same mask the screen
// shows and behaves like Qt's own for every other field.
namespace TextInputAccessibility {

// Idempotent. Must run before the first window is built: an interface, once
// created for an item, is cached for the item's life.
void install();

} // namespace TextInputAccessibility
