// Dialogs, notices and small widgets built on Bootstrap's styles and its Modal script.
import { h, clear } from './dom.js';

// Shows a modal with the given body and buttons; resolves with the value of the button pressed
// (or null when dismissed). `onSubmit` may throw to keep the dialog open and show the error.
export function dialog({ title, body, buttons, onSubmit, size }) {
  return new Promise((resolve) => {
    const error = h('div', { class: 'alert alert-danger py-2 d-none mb-0 mt-3', role: 'alert' });
    const form = h('form', { class: 'modal-content', novalidate: true });
    const footer = h('div', { class: 'modal-footer' });
    let result = null;
    const titleId = `dlg-${Math.random().toString(36).slice(2)}`;
    form.append(
      h('div', { class: 'modal-header' },
        h('h2', { class: 'modal-title fs-5', id: titleId }, title),
        h('button', { type: 'button', class: 'btn-close', 'data-bs-dismiss': 'modal', 'aria-label': 'Close' })),
      h('div', { class: 'modal-body' }, body, error),
      footer);
    for (const b of buttons) {
      footer.append(h('button', {
        type: b.submit ? 'submit' : 'button',
        class: `btn btn-${b.style || 'secondary'}`,
        'data-bs-dismiss': b.submit ? null : 'modal',
        onclick: b.submit ? null : () => { result = b.value ?? null; },
      }, b.label));
    }
    const root = h('div', { class: 'modal fade', tabindex: '-1', 'aria-labelledby': titleId, 'aria-modal': 'true', role: 'dialog' },
      h('div', { class: `modal-dialog modal-dialog-scrollable ${size ? `modal-${size}` : ''}` }, form));
    document.body.append(root);
    const modal = new window.bootstrap.Modal(root);
    // Bootstrap ignores hide() while the opening animation runs, so a quick submit (Enter right
    // away, a fast reply) would leave a finished dialog open and its caller waiting for good.
    let shown = false;
    const close = () => {
      if (shown) modal.hide();
      else root.addEventListener('shown.bs.modal', () => modal.hide(), { once: true });
    };
    form.addEventListener('submit', async (ev) => {
      ev.preventDefault();
      const submitBtn = footer.querySelector('[type=submit]');
      submitBtn.disabled = true;
      try {
        result = onSubmit ? await onSubmit() : true;
        if (result === undefined) result = true;
        close();
      } catch (e) {
        error.textContent = e.message || String(e);
        error.classList.remove('d-none');
      } finally {
        submitBtn.disabled = false;
      }
    });
    root.addEventListener('shown.bs.modal', () => {
      shown = true;
      const first = form.querySelector('.modal-body input:not([type=hidden]):not([disabled]), .modal-body select, .modal-body textarea')
        || footer.querySelector('[type=submit]');
      first?.focus();
    });
    root.addEventListener('hidden.bs.modal', () => { modal.dispose(); root.remove(); resolve(result); });
    modal.show();
  });
}

// Asks before a destructive step; `action` runs inside the dialog so its failure shows there.
export function confirmAction({ title, message, confirmLabel = 'OK', danger = false, action }) {
  return dialog({
    title,
    body: h('p', { class: 'mb-0' }, message),
    buttons: [
      { label: 'Cancel' },
      { label: confirmLabel, style: danger ? 'danger' : 'primary', submit: true },
    ],
    onSubmit: action,
  });
}

export function field(label, input, help) {
  const id = input.id || (input.id = `f-${Math.random().toString(36).slice(2)}`);
  if (input.type === 'checkbox' || input.type === 'radio') {
    return h('div', { class: 'form-check mb-3' }, input, h('label', { class: 'form-check-label', for: id }, label),
      help && h('div', { class: 'form-text' }, help));
  }
  return h('div', { class: 'mb-3' }, h('label', { class: 'form-label', for: id }, label), input,
    help && h('div', { class: 'form-text' }, help));
}

export function input(attrs) {
  return h('input', { class: attrs.type === 'checkbox' || attrs.type === 'radio' ? 'form-check-input' : 'form-control', ...attrs });
}

let toastArea;
export function notify(message, kind = 'success') {
  if (!toastArea) {
    toastArea = h('div', { class: 'toast-container position-fixed bottom-0 end-0 p-3', 'aria-live': 'polite' });
    document.body.append(toastArea);
  }
  const t = h('div', { class: `toast align-items-center text-bg-${kind} border-0`, role: kind === 'danger' ? 'alert' : 'status' },
    h('div', { class: 'd-flex' }, h('div', { class: 'toast-body' }, message),
      h('button', { type: 'button', class: 'btn-close btn-close-white me-2 m-auto', 'data-bs-dismiss': 'toast', 'aria-label': 'Close' })));
  toastArea.append(t);
  const toast = new window.bootstrap.Toast(t, { delay: kind === 'danger' ? 8000 : 3000 });
  t.addEventListener('hidden.bs.toast', () => t.remove());
  toast.show();
}

export function errorBox(message) {
  return h('div', { class: 'alert alert-danger', role: 'alert' }, message);
}

export function spinner(text = 'Loading…') {
  return h('div', { class: 'd-flex align-items-center gap-2 text-secondary py-3' },
    h('div', { class: 'spinner-border spinner-border-sm', 'aria-hidden': 'true' }), h('span', null, text));
}

export function pageHeader(title, ...tools) {
  return h('div', { class: 'd-flex flex-wrap align-items-center gap-2 mb-3 page-header' },
    h('h1', { class: 'h3 mb-0 me-auto' }, title), ...tools);
}

export function badge(text, kind) {
  return h('span', { class: `badge text-bg-${kind}` }, text);
}

// Renders `load()` into `el`, showing a spinner first and the server's error text on failure.
export async function loadInto(el, load, render) {
  clear(el).append(spinner());
  try {
    const data = await load();
    clear(el);
    render(data);
  } catch (e) {
    clear(el).append(errorBox(e.message));
  }
}
