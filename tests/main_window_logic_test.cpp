#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/command_ids.h"
#include "ui/main_window_logic.h"

TEST(MainWindowCommands, EveryIdentifierMapsToItsAction) {
  EXPECT_EQ(main_command(IDM_EXIT), kCmdClose);
  EXPECT_EQ(main_command(IDM_STOP), kCmdStopDialog);
  EXPECT_EQ(main_command(IDM_CONFIG), kCmdConfigDialog);
  EXPECT_EQ(main_command(IDM_UPDATE), kCmdOpenFile);
  EXPECT_EQ(main_command(IDM_TFR_END), kCmdTransferEnd);
  EXPECT_EQ(main_command(IDM_STOP_ENABLE), kCmdStopEnable);
  EXPECT_EQ(main_command(IDM_CMDLINE_START), kCmdCommandLine);
  EXPECT_EQ(main_command(IDM_RXW_FILENAME), kCmdHandoverPiece);
  for (int id : {0, 200, 204, 205, 206, 212, 65535}) EXPECT_EQ(main_command(id), kCmdIgnore) << id;
}

TEST(MainWindowMenu, FollowsTheTransferFromStartToEnd) {
  MainWindowState state;
  mw_create(&state);
  EXPECT_EQ(state.menu.update, 1);
  EXPECT_EQ(state.menu.config, 1);
  EXPECT_EQ(state.menu.stop, 0);
  EXPECT_EQ(state.tx_flag, 0);
  EXPECT_EQ(state.wf_status, -1);

  mw_transfer_started(&state);
  EXPECT_EQ(state.menu.update, 0);
  EXPECT_EQ(state.menu.config, 0);
  EXPECT_EQ(state.menu.stop, 0);
  EXPECT_EQ(state.tx_flag, 1);
  EXPECT_EQ(mw_may_start_transfer(&state), 0);

  mw_stop_enable(&state, 1);
  EXPECT_EQ(state.menu.stop, 1);
  mw_stop_enable(&state, 0);
  EXPECT_EQ(state.menu.stop, 0);
  mw_stop_enable(&state, 1);

  EXPECT_EQ(mw_transfer_ended(&state, 1), 0);
  EXPECT_EQ(state.menu.update, 1);
  EXPECT_EQ(state.menu.config, 1);
  EXPECT_EQ(state.menu.stop, 0);
  EXPECT_EQ(state.tx_flag, 0);
  EXPECT_EQ(state.wf_status, -1);  // focused: no flash
  EXPECT_EQ(mw_may_start_transfer(&state), 1);
}

TEST(MainWindowFlash, EndWithoutFocusBlinksUntilTheFocusReturns) {
  MainWindowState state;
  mw_create(&state);
  mw_transfer_started(&state);
  EXPECT_EQ(mw_transfer_ended(&state, 0), 1);  // start timer 1
  EXPECT_EQ(state.wf_status, 1);
  EXPECT_EQ(mw_flash_tick(&state), 0);
  EXPECT_EQ(mw_flash_tick(&state), 1);
  // A second end while still flashing does not start the timer again.
  mw_transfer_started(&state);
  EXPECT_EQ(mw_transfer_ended(&state, 0), 0);
  EXPECT_EQ(state.wf_status, 1);
  EXPECT_EQ(mw_focus_gained(&state), 1);
  EXPECT_EQ(state.wf_status, -1);
  EXPECT_EQ(mw_focus_gained(&state), 0);
}

TEST(MainWindowStartup, PortFixUpTakesTheLowestPortThatOpened) {
  const unsigned char only_com3[4] = {0, 0, 1, 0};
  EXPECT_EQ(mw_fix_port(1, only_com3), 3);
  EXPECT_EQ(mw_fix_port(3, only_com3), 3);
  const unsigned char com2_com4[4] = {0, 1, 0, 1};
  EXPECT_EQ(mw_fix_port(4, com2_com4), 4);
  EXPECT_EQ(mw_fix_port(1, com2_com4), 2);
  const unsigned char none[4] = {0, 0, 0, 0};
  EXPECT_EQ(mw_fix_port(2, none), 2);
  EXPECT_EQ(mw_no_serial_port(none), 1);
  EXPECT_EQ(mw_no_serial_port(only_com3), 0);
}

TEST(MainWindowStartup, HeightAllowsNineCaptionsTheMenuAndEdges) {
  EXPECT_EQ(mw_window_height(18, 19, 2), 9 * 18 + 19 + 4 + 6);
  EXPECT_EQ(mw_window_height(20, 20, 2), 210);
}

TEST(MainWindowStartup, SettingsPathReplacesTheLastThreeCharacters) {
  char out[256];
  ASSERT_EQ(mw_settings_path("C:\\Tools\\xrupdate.exe", out, sizeof out), 1);
  EXPECT_STREQ(out, "C:\\Tools\\xrupdate.ini");
  ASSERT_EQ(mw_settings_path("abc", out, sizeof out), 1);
  EXPECT_STREQ(out, "ini");
  std::memset(out, 'z', sizeof out);
  EXPECT_EQ(mw_settings_path("ab", out, sizeof out), 0);
  EXPECT_EQ(out[0], 'z');
  const std::string fits(255, 'p');
  EXPECT_EQ(mw_settings_path(fits.c_str(), out, sizeof out), 1);
  EXPECT_EQ(std::strlen(out), 255u);
  const std::string too_long(256, 'p');
  std::memset(out, 'z', sizeof out);
  EXPECT_EQ(mw_settings_path(too_long.c_str(), out, sizeof out), 0);
  EXPECT_EQ(out[0], 'z');
}

TEST(MainWindowStartup, WindowShowingAnyPartOfItselfStaysWhereTheSettingsPutIt) {
  WindowPlace place{600, 30, 200, 190};  // clipped by the settings at a desktop 800 wide
  EXPECT_EQ(mw_fit_window(&place, 400, 190, 800, 600), 0);
  EXPECT_EQ(place.x, 600);
  EXPECT_EQ(place.width, 200);
  WindowPlace partly_left{-300, -100, 400, 190};
  EXPECT_EQ(mw_fit_window(&partly_left, 400, 190, 800, 600), 0);
  EXPECT_EQ(partly_left.x, -300);
  EXPECT_EQ(partly_left.y, -100);
}

TEST(MainWindowStartup, WindowLeftOfOrAboveTheDesktopKeepsItsSavedPosition) {
  // A monitor left of or above the primary one has negative coordinates.
  for (WindowPlace place : {WindowPlace{-99999, 30, 400, 190}, WindowPlace{40, -5000, 400, 190},
                            WindowPlace{-1600, -1200, 400, 190}, WindowPlace{-400, 30, 400, 190}}) {
    const WindowPlace saved = place;
    EXPECT_EQ(mw_fit_window(&place, 400, 190, 800, 600), 0) << saved.x << "," << saved.y;
    EXPECT_EQ(place.x, saved.x);
    EXPECT_EQ(place.y, saved.y);
    EXPECT_EQ(place.width, 400);
    EXPECT_EQ(place.height, 190);
  }
}

TEST(MainWindowStartup, WindowClippedToNothingReturnsToTheDefaultCorner) {
  // At or beyond the right or the bottom edge the clipping leaves no size.
  for (WindowPlace place : {WindowPlace{800, 30, 0, 190}, WindowPlace{900, 30, -100, 190},
                            WindowPlace{40, 600, 400, 0}, WindowPlace{40, 99999999, 400, -99999409},
                            WindowPlace{-50, 700, 400, -100},
                            WindowPlace{2147483000, 2147483000, -2147482200, -2147482400}}) {
    EXPECT_EQ(mw_fit_window(&place, 400, 190, 800, 600), 1);
    EXPECT_EQ(place.x, 40);
    EXPECT_EQ(place.y, 30);
    EXPECT_EQ(place.width, 400);
    EXPECT_EQ(place.height, 190);
  }
  WindowPlace small_desktop{5000, 5000, -4700, -4850};
  EXPECT_EQ(mw_fit_window(&small_desktop, 400, 190, 300, 150), 1);
  EXPECT_EQ(small_desktop.width, 260);
  EXPECT_EQ(small_desktop.height, 120);
  WindowPlace one_pixel{799, 599, 1, 1};
  EXPECT_EQ(mw_fit_window(&one_pixel, 400, 190, 800, 600), 0);
  EXPECT_EQ(one_pixel.x, 799);
}

namespace {

// Feeds a whole path as a second copy would post it; the result of the last piece.
int hand_over(MainWindowState* state, const char* path) {
  HandoverPiece pieces[kHandoverMaxPieces];
  const int count = handover_split(path, pieces, kHandoverMaxPieces);
  int result = 0;
  for (int i = 0; i < count; ++i) result = mw_handover_piece(state, pieces[i].offset, pieces[i].bytes);
  return result;
}

}  // namespace

TEST(MainWindowTransferGuard, NoStartWhileATransferRunsWhicheverCommandAsks) {
  MainWindowState state;
  mw_create(&state);
  EXPECT_EQ(mw_start_request(&state, "C:\\a.sys"), 1);
  mw_transfer_started(&state);
  // 207 after its dialog, 210 and 211 all meet the running transfer.
  EXPECT_EQ(mw_start_request(&state, "C:\\b.sys"), 0);
  EXPECT_EQ(hand_over(&state, "C:\\c.sys"), 0);
  char held[kHandoverBufferSize];
  EXPECT_EQ(mw_take_held(&state, held), 0);  // dropped, not queued
  mw_transfer_ended(&state, 1);
  EXPECT_EQ(hand_over(&state, "C:\\d.sys"), 1);
  EXPECT_STREQ(state.handover.rxw_filename, "C:\\d.sys");
}

TEST(MainWindowTransferGuard, HandOverDuringADialogIsHeldUntilItCloses) {
  MainWindowState state;
  mw_create(&state);
  mw_modal_begin(&state);  // "Open File" or "Config"
  EXPECT_EQ(hand_over(&state, "C:\\upd\\b.sys"), 0);
  EXPECT_EQ(hand_over(&state, "C:\\upd\\later.sys"), 0);  // only the first is kept
  char held[kHandoverBufferSize];
  EXPECT_EQ(mw_take_held(&state, held), 0);  // still open
  mw_modal_end(&state);
  ASSERT_EQ(mw_take_held(&state, held), 1);
  EXPECT_STREQ(held, "C:\\upd\\b.sys");
  EXPECT_EQ(mw_take_held(&state, held), 0);  // taken once
  EXPECT_EQ(mw_start_request(&state, held), 1);
}

TEST(MainWindowTransferGuard, TheUsersChoiceWinsOverAPathHeldBehindTheDialog) {
  MainWindowState state;
  mw_create(&state);
  mw_modal_begin(&state);
  EXPECT_EQ(hand_over(&state, "C:\\b.sys"), 0);
  mw_modal_end(&state);
  // The file picked in the dialog starts first...
  ASSERT_EQ(mw_start_request(&state, "C:\\a.sys"), 1);
  mw_modal_begin(&state);  // the start itself (its link may show a box)
  EXPECT_EQ(mw_start_request(&state, "C:\\e.sys"), 0);  // a second hold is dropped
  mw_modal_end(&state);
  mw_transfer_started(&state);
  // ...and the held path then meets a running transfer and is dropped.
  char held[kHandoverBufferSize];
  ASSERT_EQ(mw_take_held(&state, held), 1);
  EXPECT_STREQ(held, "C:\\b.sys");
  EXPECT_EQ(mw_start_request(&state, held), 0);
  EXPECT_EQ(mw_take_held(&state, held), 0);
}

TEST(MainWindowTransferGuard, NestedModalStepsHoldUntilTheOutermostEnds) {
  MainWindowState state;
  mw_create(&state);
  mw_modal_begin(&state);  // a dialog
  mw_modal_begin(&state);  // a start inside it showing a message box
  EXPECT_EQ(mw_start_request(&state, "C:\\cmdline.sys"), 0);
  mw_modal_end(&state);
  char held[kHandoverBufferSize];
  EXPECT_EQ(mw_take_held(&state, held), 0);
  mw_modal_end(&state);
  mw_modal_end(&state);  // one end too many changes nothing
  EXPECT_EQ(state.modal, 0);
  ASSERT_EQ(mw_take_held(&state, held), 1);
  EXPECT_STREQ(held, "C:\\cmdline.sys");
}

TEST(MainWindowTransferGuard, EmptyOrOverlongPathsAreNeverHeld) {
  MainWindowState state;
  mw_create(&state);
  mw_modal_begin(&state);
  EXPECT_EQ(mw_start_request(&state, ""), 0);
  const std::string too_long(kHandoverBufferSize, 'x');
  EXPECT_EQ(mw_start_request(&state, too_long.c_str()), 0);
  mw_modal_end(&state);
  char held[kHandoverBufferSize];
  EXPECT_EQ(mw_take_held(&state, held), 0);
}

// The menu's commands are taken only while their items are enabled and no
// dialog is open, whoever sends them; 208 only once the thread has ended.
TEST(MainWindowCommands, MenuCommandsOnlyWhenEnabledAndNoDialogIsOpen) {
  MainWindowState state;
  mw_create(&state);
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_CONFIG), 1);
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_UPDATE), 1);
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_STOP), 0);  // grayed while idle
  EXPECT_EQ(mw_transfer_end_allowed(&state, 1), 0);          // nothing was started
  mw_transfer_started(&state);
  mw_stop_enable(&state, 1);
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_CONFIG), 0);
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_UPDATE), 0);
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_STOP), 1);
  EXPECT_EQ(mw_transfer_end_allowed(&state, 0), 0);  // the thread still runs
  mw_modal_begin(&state);
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_STOP), 0);
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_EXIT), 1);  // a close is never refused here
  EXPECT_EQ(mw_menu_command_allowed(&state, IDM_TFR_END), 1);
  mw_modal_end(&state);
  EXPECT_EQ(mw_transfer_end_allowed(&state, 1), 1);
  mw_transfer_ended(&state, 1);
  EXPECT_EQ(mw_transfer_end_allowed(&state, 1), 0);  // once per transfer
}
