// The keyboard of the column browser, on whichever column has the focus: Up and Down, Home and End,
// Page Up and Page Down move the selection in it; Right or Enter enter the selected folder's column
// (Enter opens a photo or video in the viewer); Left goes back to the parent column; typing the first
// letters of a name selects it; Space picks the selected row, Escape ends picking.

const TYPE_AHEAD_PAUSE = 1000; // ms after which typed letters start a new name

const typeAhead = { text: '', column: null, timer: 0 };

function columnOfList(element) {
  return columns.list.find((column) => column.list === element) || null;
}

function moveSelection(column, index) {
  if (!column.items.length) return;
  const target = Math.max(0, Math.min(column.items.length - 1, index));
  if (target !== column.marked || activeColumn() !== column) pickRow(column, target, true);
  column.reveal(target, false);
}

// The first name in listing order that starts with what was typed. The same letter typed again and
// again steps through the names that start with it.
function selectByTyping(column, character) {
  window.clearTimeout(typeAhead.timer);
  if (typeAhead.column !== column) typeAhead.text = '';
  typeAhead.column = column;
  typeAhead.text += character.toLocaleLowerCase();
  typeAhead.timer = window.setTimeout(() => (typeAhead.text = ''), TYPE_AHEAD_PAUSE);
  const text = typeAhead.text;
  let index = column.findPrefix(text, 0);
  const repeated = text.length > 1 && [...text].every((letter) => letter === text[0]);
  if (repeated && (index < 0 || index <= column.marked)) index = column.findPrefix(text[0], column.marked + 1);
  if (index >= 0) moveSelection(column, index);
}

function handleColumnKey(event) {
  if (event.altKey || event.ctrlKey || event.metaKey || event.isComposing) return;
  const column = columnOfList(event.target);
  if (!column) return;
  const marked = column.marked;
  switch (event.key) {
    case 'ArrowDown':
      moveSelection(column, marked + 1);
      break;
    case 'ArrowUp':
      moveSelection(column, marked < 0 ? 0 : marked - 1);
      break;
    case 'Home':
      moveSelection(column, 0);
      break;
    case 'End':
      moveSelection(column, column.items.length - 1);
      break;
    case 'PageDown':
      moveSelection(column, Math.max(marked, 0) + column.pageSize());
      break;
    case 'PageUp':
      moveSelection(column, Math.max(marked, 0) - column.pageSize());
      break;
    case 'ArrowRight':
      enterColumn(column);
      break;
    case 'Enter':
      if (!activateMarkedRow(column)) enterColumn(column);
      break;
    case 'ArrowLeft':
      leaveColumn(column);
      break;
    case ' ':
      // Space belongs to a name being typed; alone it picks the selected row.
      if (typeAhead.text && typeAhead.column === column) selectByTyping(column, ' ');
      else if (column.marked >= 0 && column.path !== null) togglePick(column.items, column.marked, column.path);
      break;
    case 'Escape':
      if (!cancelPicking()) return;
      break;
    default:
      if ([...event.key].length !== 1) return;
      selectByTyping(column, event.key);
  }
  event.preventDefault();
}
