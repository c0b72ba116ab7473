"""The window of tessadyn-check-gui (Kivy).

Its parts: the layout (gui_app.kv beside this module), the dialogs (one
class each), the run's life cycle (CheckRun: the worker, the texts and the
outcome of the last run, no widgets) and the view (CheckerView: the form,
the buttons and the pane, drawing what CheckRun holds).

Import this module only after the Kivy configuration is set (window size,
video driver): importing it creates the window.  velmora.tools.gui does that.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from importlib import resources
from typing import Callable, Optional

from kivy.app import App
from kivy.clock import Clock
from kivy.core.clipboard import Clipboard
from kivy.core.text import Label as CoreLabel
from kivy.core.window import Window
from kivy.lang import Builder
from kivy.properties import BooleanProperty, NumericProperty, ObjectProperty, StringProperty
from kivy.uix.boxlayout import BoxLayout
from kivy.uix.button import Button
from kivy.uix.filechooser import FileChooserListView
from kivy.uix.label import Label
from kivy.uix.popup import Popup
from kivy.uix.textinput import TextInput
from kivy.uix.togglebutton import ToggleButton
from kivy.uix.widget import Widget
from kivy.utils import escape_markup

from velmora.tools import atomic_file, inventory, plant_view, watch
from velmora.tools.frontend import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, catch_sigint
from velmora.tools.gui_run import TRANSPORTS, Line, Options, Outcome, Worker, parse_addresses

TITLE = "Velmora Tessadyn Checker"
FONT = "RobotoMono-Regular"
FONT_SIZE = 13
ERROR_COLOR = "ff5a5a"
CHANGE_COLOR = "ffd24a"  # the watch's change lines
# The status of a completed check that found pending diagnoses or invalid process data.
WARNING_COLOR = "ffb000"

# How long closing the window waits for a running check to stop; a driver
# call in progress is not interrupted, so this bounds the wait for it.
CLOSE_TIMEOUT = 10.0

# The plant view's cells (pixels), and the characters a line of one shows.
PORT_CELL_WIDTH = 92
CELL_CHARS = 12
HEAD_CHARS = 17  # a master's own diagnosis under its name


def _legend_colour(state: str) -> str:
    if state in (plant_view.OFF, plant_view.EMPTY):  # dark cells: a light grey on the dark pane
        return "aaaaaa"
    return "".join(f"{round(c * 255):02x}" for c in plant_view.COLOURS[state])


LEGEND = "   ".join(f"[color=#{_legend_colour(state)}][b]{escape_markup(symbol)}[/b][/color] {state}"
                   for state, symbol in plant_view.SYMBOLS.items()) + "   [b]*[/b] changed in the last round"

AUTO_CAUTION = (
    "Activate the ports of masters whose ports are all disabled?\n\n"
    "This changes the masters' port configuration: use it with caution in "
    "productive systems. (USB masters always get their ports activated when "
    "all are off.)"
)

# The window's layout, shipped beside this module.
Builder.load_file(str(resources.files("velmora.tools").joinpath("gui_app.kv")))


class ReportLine(Label):
    """One line of the report in the output pane."""


class PortCell(Label):
    """One port of the plant view: its colour, its symbol and what is
    there; a frame while it is marked as changed."""

    rgb = ObjectProperty((0, 0, 0))
    changed = BooleanProperty(False)
    state = StringProperty("")

    def __init__(self, cell: plant_view.Cell, **kwargs):
        super().__init__(**kwargs)
        self.show(cell)

    def show(self, cell: plant_view.Cell) -> None:
        self.state = cell.state
        self.rgb = plant_view.COLOURS[cell.state]
        self.changed = cell.changed
        mark = " *" if cell.changed else ""
        lines = [line if len(line) <= CELL_CHARS else line[:CELL_CHARS - 2] + ".."
                 for line in cell.text.split("\n")]
        self.text = f"[b]{cell.port} {escape_markup(cell.symbol)}{mark}[/b]\n" + escape_markup("\n".join(lines))


class PlantView(BoxLayout):
    """The plant as a grid: one row per master, one cell per port."""

    def show(self, grid: list[plant_view.Row]) -> None:
        self.clear_widgets()
        self.rows = grid
        self._cells: list[PortCell] = []
        if grid:
            self.add_widget(Label(text=LEGEND, markup=True, font_name=FONT, font_size=11,
                                  size_hint=(None, None), size=(720, 18), halign="left",
                                  text_size=(720, 18)))
        for row in grid:
            line = BoxLayout(size_hint=(None, None), height=50, spacing=3)
            name = f"{row.address}" + (f"\n{row.name}" if row.name else "")
            text = escape_markup(name) + (" *" if row.changed else "")
            if row.problems:  # the master's own pending diagnoses
                problem = row.problems[0]
                problem = problem if len(problem) <= HEAD_CHARS else problem[:HEAD_CHARS - 2] + ".."
                text += f"\n[color=#{_legend_colour(plant_view.DIAGNOSIS)}]! " \
                    f"{escape_markup(problem)}[/color]"
            head = MasterHead(text=text)
            line.add_widget(head)
            for cell in row.cells:
                self._cells.append(PortCell(cell))
                line.add_widget(self._cells[-1])
            line.width = head.width + len(row.cells) * (PORT_CELL_WIDTH + 3)
            self.add_widget(line)
        self.height = len(grid) * 53 + 29 if grid else 0
        self.width = max([line.width for line in self.children] + [0]) + 8

    def cells(self) -> list["PortCell"]:
        """The cells shown, master by master, port by port."""
        return list(getattr(self, "_cells", []))


class MasterHead(Label):
    """The master's address and name at the start of its row."""


class BusyIndicator(Widget):
    """A turning arc, shown while a check runs."""

    angle = NumericProperty(0)


class ConfirmDialog(Popup):
    """A question with a button that accepts (`ok`) and Cancel."""

    def __init__(self, title: str, text: str, ok: str, on_ok: Callable[[], None],
                 on_cancel: Callable[[], None] = lambda: None, **kwargs):
        super().__init__(title=title, size_hint=(None, None), size=(560, 280),
                         auto_dismiss=False, **kwargs)
        self._on_ok, self._on_cancel = on_ok, on_cancel
        box = BoxLayout(orientation="vertical", spacing=8, padding=8)
        message = Label(text=text, halign="left", valign="top")
        message.bind(size=lambda w, s: setattr(w, "text_size", s))
        box.add_widget(message)
        buttons = BoxLayout(size_hint_y=None, height=40, spacing=8)
        ok_button = Button(text=ok)
        cancel_button = Button(text="Cancel")
        buttons.add_widget(ok_button)
        buttons.add_widget(cancel_button)
        box.add_widget(buttons)
        self.content = box
        ok_button.bind(on_release=lambda *_: self._answer(True))
        cancel_button.bind(on_release=lambda *_: self._answer(False))

    def _answer(self, accepted: bool) -> None:
        self.dismiss()
        (self._on_ok if accepted else self._on_cancel)()


class SaveDialog(Popup):
    """A folder, a file name, Save and Cancel; `on_path(path)` gets the
    path chosen."""

    def __init__(self, title: str, filename: str, folder: str,
                 on_path: Callable[[str], None], **kwargs):
        super().__init__(title=title, size_hint=(0.9, 0.9), **kwargs)
        self._on_path = on_path
        box = BoxLayout(orientation="vertical", spacing=6, padding=6)
        self.chooser = FileChooserListView(path=folder)
        self.filename = TextInput(text=filename, multiline=False, size_hint_y=None, height=34)
        buttons = BoxLayout(size_hint_y=None, height=40, spacing=8)
        save = Button(text="Save")
        cancel = Button(text="Cancel")
        buttons.add_widget(save)
        buttons.add_widget(cancel)
        box.add_widget(self.chooser)
        box.add_widget(self.filename)
        box.add_widget(buttons)
        self.content = box
        self.chooser.bind(selection=self._chosen)
        save.bind(on_release=self._save)
        self.filename.bind(on_text_validate=self._save)
        cancel.bind(on_release=lambda *_: self.dismiss())

    def _chosen(self, _chooser, selection) -> None:
        if selection:
            self.filename.text = os.path.basename(selection[0])

    def _save(self, *_) -> None:
        if not self.filename.text.strip():
            return
        path = os.path.join(self.chooser.path, self.filename.text.strip())
        self.dismiss()
        self._on_path(path)


class ErrorDialog(Popup):
    """The error of a run: its one line, and the traceback behind
    "details"."""

    def __init__(self, title: str, message: str, details: str, **kwargs):
        super().__init__(title=title, size_hint=(None, None), size=(720, 260), **kwargs)
        self.message = message
        self.details_text = details
        box = BoxLayout(orientation="vertical", spacing=8, padding=8)
        label = Label(text=message, halign="left", valign="top", color=(1, 0.4, 0.4, 1))
        label.bind(size=lambda w, s: setattr(w, "text_size", s))
        box.add_widget(label)
        self.details = TextInput(text=details, readonly=True, font_name=FONT,
                                 font_size=FONT_SIZE - 1, size_hint_y=None, height=0,
                                 opacity=0, disabled=True)
        box.add_widget(self.details)
        buttons = BoxLayout(size_hint_y=None, height=40, spacing=8)
        self.toggle = ToggleButton(text="details", size_hint_x=None, width=120)
        self.toggle.bind(state=self._show_details)
        close = Button(text="Close")
        close.bind(on_release=lambda *_: self.dismiss())
        if details:
            buttons.add_widget(self.toggle)
        buttons.add_widget(Widget())
        buttons.add_widget(close)
        box.add_widget(buttons)
        self.content = box

    def _show_details(self, _button, state):
        shown = state == "down"
        self.details.height = 260 if shown else 0
        self.details.opacity = 1 if shown else 0
        self.details.disabled = not shown
        self.height = 540 if shown else 260


class CheckRun:
    """The run's life cycle, apart from the view: starts and aborts runs
    on the worker, and keeps the texts and the outcome of the last one."""

    def __init__(self, worker: Worker):
        self.worker = worker
        self.lines: list[Line] = []        # the report of the last run
        self.error_line: Optional[str] = None
        self.outcome: Optional[Outcome] = None

    def start(self, options: Options, on_lines: Callable[[list[Line]], None],
              on_done: Callable[[Outcome], None], quiet: bool = False) -> bool:
        """Start a run, forgetting the last one; False when one runs.
        `quiet`: a later round of a watch, whose report is not shown (the
        report so far stays, the watch adds its changes)."""
        if self.worker.busy():
            return False
        if not quiet:
            self.lines = []
        self.error_line = None
        self.outcome = None

        def lines_came(lines: list[Line]) -> None:
            if not quiet:
                self.lines.extend(lines)
                on_lines(lines)

        def ended(outcome: Outcome) -> None:
            self.outcome = outcome
            if outcome.failure is not None:
                self.error_line = f"Error: {outcome.failure.message}"
            on_done(outcome)

        return self.worker.start(options, lines_came, ended)

    def abort(self) -> bool:
        """Ask a running check to stop; False when none runs."""
        if not self.worker.busy():
            return False
        self.worker.abort()
        return True

    def report(self) -> str:
        """The last run's report as plain text, as the command line prints
        it (with the error line at the end)."""
        text = "".join(line.plain + "\n" for line in self.lines)
        if self.error_line is not None:
            text += self.error_line + "\n"
        return text

    def inventory(self) -> Optional[dict]:
        """The last run's inventory, when it has one."""
        return self.outcome.inventory if self.outcome is not None else None


class CheckerView(BoxLayout):
    """The form, the buttons and the output pane, drawing a CheckRun."""

    busy = BooleanProperty(False)
    aborting = BooleanProperty(False)
    has_report = BooleanProperty(False)
    has_inventory = BooleanProperty(False)
    watching = BooleanProperty(False)
    status = StringProperty("")
    line_height = NumericProperty(17)
    content_width = NumericProperty(0)
    worker = ObjectProperty(None, allownone=True)

    def __init__(self, worker: Optional[Worker] = None, interactive: bool = True, **kwargs):
        super().__init__(**kwargs)
        self.interactive = interactive
        self.worker = worker or Worker(lambda fn: Clock.schedule_once(lambda dt: fn()),
                                       escape=escape_markup)
        self.run = CheckRun(self.worker)
        self.dialog: Optional[Popup] = None
        self._last_folder: Optional[str] = None  # where the last file was saved
        self.done_callbacks: list[Callable[[Outcome], None]] = []
        self._auto_confirmed = False
        self._widest = 0
        probe = CoreLabel(text="M" * 10, font_name=FONT, font_size=FONT_SIZE)
        probe.refresh()
        self._char_width = probe.texture.width / 10
        self.line_height = probe.texture.height
        self.transport_buttons: list[ToggleButton] = []
        for label, value in TRANSPORTS:
            button = ToggleButton(text=label, group="transport", allow_no_selection=False,
                                  state="down" if value is None else "normal")
            button.select_value = value
            self.ids.transports.add_widget(button)
            self.transport_buttons.append(button)
        self.ids.auto.bind(active=self._on_auto)
        self._ticker = Clock.schedule_interval(self._tick, 1 / 20)
        # The watch: its rounds so far, the round running (a Clock event
        # until it starts), the plant as the rounds saw it.
        self.watch_interval = watch.DEFAULT_INTERVAL
        self._tracker = watch.Tracker()
        self._rounds = 0
        self._round_started = 0.0
        self._watch_round = False
        self._next_round: Optional[object] = None
        self.changes: list[watch.Change] = []  # the last round's

    # -- the form -------------------------------------------------------------

    def set_options(self, options: Options) -> None:
        """Fill the form (from the command line: --auto counts as confirmed)."""
        self.ids.addresses.text = "\n".join(options.addresses)
        for button in self.transport_buttons:
            button.state = "down" if button.select_value == options.select else "normal"
        self._auto_confirmed = bool(options.auto)
        self.ids.auto.active = bool(options.auto)

    def options(self) -> Options:
        select = next((b.select_value for b in self.transport_buttons if b.state == "down"), None)
        return Options(addresses=tuple(parse_addresses(self.ids.addresses.text)),
                       select=select, auto=bool(self.ids.auto.active))

    def _on_auto(self, checkbox, active):
        if not active:
            self._auto_confirmed = False
            return
        if self._auto_confirmed:
            return
        # Ticked by the user: only after the caution was confirmed.
        checkbox.active = False

        def confirmed():
            self._auto_confirmed = True
            checkbox.active = True

        self._open(ConfirmDialog("Activate ports", AUTO_CAUTION, "Activate ports", confirmed))

    # -- running --------------------------------------------------------------

    @property
    def lines(self) -> list[Line]:
        return self.run.lines

    @property
    def outcome(self) -> Optional[Outcome]:
        return self.run.outcome

    def start_check(self, quiet: bool = False) -> bool:
        """Start a check with the form's options; False when one runs.
        `quiet`: a later round of the watch (the report stays, ports are
        not activated again)."""
        if self.worker.busy():
            self._refresh_busy()
            return False
        options = self.options()
        if quiet:
            options = Options(options.addresses, options.select, False, options.verbose)
        else:
            self._widest = 0
            self.content_width = 0
            self.ids.pane.data = []
            self.has_report = False
        self.has_inventory = False
        self.aborting = False
        self._watch_round = self.watching
        self._round_started = time.monotonic()
        started = self.run.start(options, self._append, self._finished, quiet=quiet)
        if started:
            self.status = f"watching: round {self._rounds + 1}..." if self.watching else "checking..."
        self._refresh_busy()
        return started

    def abort_check(self) -> None:
        self.set_watch(False)
        if self.run.abort():
            self.aborting = True
            self.status = "aborting..."

    # -- the watch --------------------------------------------------------------

    def set_watch(self, on: bool) -> None:
        """The Watch switch: rounds of checks, one after the other (at most
        every watch_interval seconds), each compared with the one before."""
        if self.ids.watch_button.state != ("down" if on else "normal"):
            self.ids.watch_button.state = "down" if on else "normal"  # calls back here
            return
        if on == self.watching:
            return
        self.watching = on
        if self._next_round is not None:
            self._next_round.cancel()  # type: ignore[attr-defined]
            self._next_round = None
        if on:
            self._tracker = watch.Tracker()
            self._rounds = 0
            if not self.worker.busy():
                self.start_check()
            else:
                self._watch_round = False  # the check running now is no round of the watch
        elif not self.worker.busy():
            self.status = "watch ended"

    def _round(self, dt=None) -> None:
        self._next_round = None
        if self.watching and not self.start_check(quiet=self._rounds > 0):
            self._next_round = Clock.schedule_once(self._round, 0.2)

    def _round_ended(self, outcome: Outcome) -> None:
        """A round of the watch ended: its changes into the report and the
        plant view, and the next round planned."""
        first = self._rounds == 0
        self._rounds += 1
        failure = outcome.failure.message if outcome.failure is not None else None
        document = outcome.inventory or {"time": watch.now(), "masters": []}
        if first:
            self._tracker.first(document, failure)
            changes = []
        else:
            self.run.error_line = None  # told as a change, once
            changes = self._tracker.next(document, failure)
        self.changes = changes
        if changes:
            follow = self._following()
            rows = []
            for change in changes:
                line = change.line()
                self.run.lines.append(Line(f"[color=#{CHANGE_COLOR}]{escape_markup(line)}[/color]", line))
                self._widest = max(self._widest, len(line))
                rows.append({"text": self.run.lines[-1].markup})
            self.has_report = True
            self._add_rows(rows, follow)
        if outcome.inventory is not None:
            self._show_plant(outcome, {(c.address, c.port) for c in changes})
        count = f"{len(changes)} change(s)" if changes else "no changes"
        self.status = f"watching: round {self._rounds}, {count}"
        if self.watching:
            wait = max(self._round_started + self.watch_interval - time.monotonic(), 0.0)
            self._next_round = Clock.schedule_once(self._round, wait)

    def _show_plant(self, outcome: Outcome, changed: set) -> None:
        assert outcome.inventory is not None
        self.ids.plant.show(plant_view.rows(outcome.inventory, outcome.modes, changed))

    def _append(self, lines: list[Line]) -> None:
        follow = self._following()
        rows: list[dict[str, str]] = []
        for line in lines:
            for plain in line.plain.split("\n"):
                self._widest = max(self._widest, len(plain))
            rows.extend({"text": part} for part in line.markup.split("\n"))
        self.has_report = True
        self._add_rows(rows, follow)

    def _add_rows(self, rows, follow):
        pane = self.ids.pane
        pane.data.extend(rows)
        self.content_width = self._widest * self._char_width + 24
        if follow:
            Clock.schedule_once(self._follow, 0)

    def _following(self) -> bool:
        """The pane shows the newest line (the user has not scrolled up)."""
        pane = self.ids.pane
        return pane.scroll_y <= 0.001 or pane.height >= len(pane.data) * self.line_height

    def _follow(self, dt=None) -> None:
        """Show the newest lines; a report shorter than the pane stays at
        its top."""
        pane = self.ids.pane
        pane.scroll_y = 0 if len(pane.data) * self.line_height > pane.height else 1

    def _finished(self, outcome: Outcome) -> None:
        self.has_inventory = outcome.inventory is not None
        self.aborting = False
        if self._watch_round and not outcome.aborted and (self._rounds or outcome.failure is None):
            self._round_ended(outcome)
            self._refresh_busy()
            for callback in list(self.done_callbacks):
                callback(outcome)
            return
        if outcome.inventory is not None:
            self._show_plant(outcome, set())
        if self._watch_round:
            self.set_watch(False)  # the first round failed, or a round was aborted
        elif self.watching and self._next_round is None:
            # Watch was switched on during this check: its first round now.
            self._next_round = Clock.schedule_once(self._round, 0)
        error_line = self.run.error_line
        if outcome.failure is not None and error_line is not None:
            follow = self._following()
            self._widest = max(self._widest, len(error_line))
            self._add_rows([{"text": f"[color=#{ERROR_COLOR}]{escape_markup(error_line)}[/color]"}],
                           follow)
            self.has_report = True
            self.status = f"[color=#{ERROR_COLOR}]error[/color]"
            if self.interactive:
                self._open(ErrorDialog("Check failed", outcome.failure.message,
                                       outcome.failure.details))
        elif outcome.aborted:
            self.status = "aborted"
        else:
            self.status = "completed" if outcome.summary is None else \
                f"completed: [color=#{WARNING_COLOR}]{escape_markup(outcome.summary)}[/color]"
        self._refresh_busy()
        for callback in list(self.done_callbacks):
            callback(outcome)

    def _refresh_busy(self) -> None:
        self.busy = self.worker.busy()

    def _tick(self, dt) -> None:
        self._refresh_busy()
        if self.busy:
            self.ids.busy.angle = (self.ids.busy.angle + 360 * dt) % 360

    # -- the report -----------------------------------------------------------

    def report(self) -> str:
        """The last run's report as plain text, as the command line prints
        it (with the error line at the end)."""
        return self.run.report()

    def copy_report(self) -> None:
        Clipboard.copy(self.report())
        self.status = "report copied"

    def write_report(self, path: str) -> None:
        """Write the report to path (replacing it whole, or leaving it as it
        was); errors in a dialog."""
        self._write("Save report", path, self.report())

    def write_inventory(self, path: str) -> None:
        """Write the last run's inventory (the JSON document of
        `tessadyn-check --json`) to path, replacing it at once or not at
        all; errors in a dialog."""
        document = self.run.inventory()
        if document is not None:
            self._write("Save inventory", path, inventory.dumps(document))

    def _write(self, title: str, path: str, text: str) -> None:
        """The one writer of saved files: whole or not at all."""
        try:
            atomic_file.write_text(path, text)
        except OSError as exc:
            self._open(ErrorDialog(title, f"cannot write {path}: {exc.strerror or exc}", ""))
            return
        self.status = f"saved {escape_markup(os.path.basename(path))}"

    def save_dialog(self, title: str = "Save report", filename: str = "tessadyn-report.txt",
                    write: Optional[Callable[[str], None]] = None) -> None:
        write = write or self.write_report

        def chosen(path: str) -> None:
            self._last_folder = os.path.dirname(path)
            if os.path.exists(path):
                self._open(ConfirmDialog(title, f"{path} exists. Replace it?", "Replace",
                                         lambda: write(path)))
            else:
                write(path)

        self._open(SaveDialog(title, filename, self._save_folder(), chosen))

    def _save_folder(self) -> str:
        folder = self._last_folder or os.path.expanduser("~")
        return folder if os.path.isdir(folder) else os.getcwd()

    def _open(self, dialog: Popup) -> None:
        self.dialog = dialog
        dialog.open()

    # -- closing ----------------------------------------------------------------

    def shutdown(self, timeout: float = CLOSE_TIMEOUT) -> bool:
        """Abort a running check and wait for the worker (bounded), so that
        the current master is disconnected; True when it has ended."""
        self.set_watch(False)
        if self.worker.alive():
            self.worker.abort()
        ended = self.worker.join(timeout)
        self._ticker.cancel()
        return ended


class CheckerApp(App):
    """The application: one CheckerView.  With `snapshot` set it runs one
    check at start, saves a screenshot of the window when the run ends and
    stops; `exit_status` is then 0 (completed) or 1 (error)."""

    def __init__(self, options: Optional[Options] = None, snapshot: Optional[str] = None,
                 start: bool = False, **kwargs):
        super().__init__(**kwargs)
        self.title = TITLE
        self.initial = options
        self.snapshot = snapshot
        self.start_at_once = start or snapshot is not None
        self.exit_status = EXIT_OK
        self.view: Optional[CheckerView] = None
        self._closing = False
        self._restore_sigint: Optional[Callable[[], None]] = None

    def build(self):
        self.view = CheckerView(interactive=self.snapshot is None)
        if self.initial is not None:
            self.view.set_options(self.initial)
        self.view.done_callbacks.append(self._run_ended)
        Window.bind(on_request_close=self._on_request_close)
        self._handle_interrupts()
        if self.start_at_once:
            Clock.schedule_once(lambda dt: self.view.start_check(), 0)
        return self.view

    def _run_ended(self, outcome: Outcome) -> None:
        if self._closing:
            self.stop()
            return
        if self.snapshot is not None:
            self.exit_status = EXIT_OK if outcome.failure is None else EXIT_ERROR
            if outcome.failure is not None:
                sys.stderr.write(f"tessadyn-check-gui: error: {outcome.failure.message}\n")
            # Let the last lines be laid out and drawn before the picture.
            frames = [3]

            def on_flip(window):
                frames[0] -= 1
                if frames[0] == 0:
                    Window.unbind(on_flip=on_flip)
                    self._save_snapshot()
                    self.stop()

            Window.bind(on_flip=on_flip)
            Window.canvas.ask_update()
            Clock.schedule_interval(lambda dt: Window.canvas.ask_update(), 1 / 30)

    def _save_snapshot(self) -> None:
        assert self.snapshot is not None
        target = os.path.abspath(self.snapshot)
        folder = tempfile.mkdtemp(prefix=".snapshot-", dir=os.path.dirname(target))
        try:
            saved = Window.screenshot(name=os.path.join(folder, "window.png"))
            os.replace(saved, target)
        except (OSError, TypeError) as exc:
            sys.stderr.write(f"tessadyn-check-gui: error: cannot save {target}: {exc}\n")
            self.exit_status = EXIT_ERROR
        finally:
            for leftover in os.listdir(folder):
                os.unlink(os.path.join(folder, leftover))
            os.rmdir(folder)

    def _on_request_close(self, *args, **kwargs) -> bool:
        """Closing during a run: abort it and close once the worker ended
        (or the wait ran out)."""
        view = self.view
        if view is None or not view.worker.alive():
            return False
        if not self._closing:
            self._closing = True
            view.abort_check()
            view.status = "closing: stopping the check..."
            Clock.schedule_once(lambda dt: self.stop(), CLOSE_TIMEOUT)
        return True

    def _handle_interrupts(self) -> None:
        """Ctrl-C in the terminal closes the window as its close button
        does.  A SIGINT ignored when the program started stays ignored."""
        self._restore_sigint = catch_sigint(self._on_interrupt)

    def _on_interrupt(self, signum, frame) -> None:
        self.exit_status = EXIT_INTERRUPTED
        Clock.schedule_once(lambda dt: self.close())

    def close(self) -> None:
        """Close the window, aborting a run and waiting for its worker."""
        if not self._on_request_close():
            self.stop()

    def on_stop(self):
        if self._restore_sigint is not None:
            self._restore_sigint()
            self._restore_sigint = None
        if self.view is not None and not self.view.shutdown(CLOSE_TIMEOUT if not self._closing else 1.0):
            sys.stderr.write("tessadyn-check-gui: the check did not stop in time; "
                             "the current master may still be connected\n")
