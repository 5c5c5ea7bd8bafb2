#pragma once
// The terminal front end's event loop as the forms see it: a modal form draws
// itself over the main screen and waits for keys while the loop goes on with the
// transfer's notices, the 100 ms tick, the attention flash and the redraws.

// Returned by loop_wait_key in place of a key when the program must end (SIGTERM,
// hang-up, stdin gone): the form closes as if cancelled.
constexpr int kKeyCancelForm = 0x7004;

// Waits for the next key of a modal form.
int loop_wait_key();

// A form's drawing, painted over the main screen at every redraw, newest last.
void loop_push_overlay(void (*draw)(void* context), void* context);
void loop_pop_overlay();
// Asks for a redraw at the next turn of the loop.
void loop_invalidate();

// The stop dialog's Abort: stops the transfer and waits for its thread to end.
// Message boxes the thread raises meanwhile are shown afterwards.
void loop_abort_transfer();
