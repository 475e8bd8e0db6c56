// Fixed knowledge the pages share: the claims in their numbered order, how VM states read,
// and the number formats.

export const CLAIMS = [
  ['cDBoard_View', 'View Dashboard'], ['cHost_View', 'View Servers'], ['cHost_Edit', 'Edit Servers'],
  ['cHost_Connect', 'Connect Server'], ['cHost_Shutdown', 'Shutdown Server'], ['cHost_Restart', 'Restart Server'],
  ['cHost_Log', 'View Server Log'], ['cHost_Monitor', 'View Server Monitor'], ['cVms_View', 'View VMs list'],
  ['cVm_Edit', 'Edit VM'], ['cVm_Create', 'Create VM'], ['cVm_Delete', 'Delete VM'],
  ['cVm_Connect', 'Connect VM'], ['cVm_Start', 'Start VM'], ['cVm_TurnOff', 'TurnOff VM'],
  ['cVm_Shutdown', 'Shutdown VM'], ['cVm_Pause', 'Pause VM'], ['cVm_Save', 'Save VM'],
  ['cVm_Reset', 'Reset VM'], ['cVm_TabCp', 'Edit VM Checkpoint'], ['cVm_CpCreate', 'Create VM Checkpoint'],
  ['cVm_CpApply', 'Apply VM Checkpoint'], ['cVm_CpDelete', 'Delete VM Checkpoint'], ['cVm_CpRename', 'Rename VM Checkpoint'],
  ['cVms_TabNetwork', 'View VM Network'], ['cVms_TabReplication', 'View VM Replication'], ['cVms_TabMonitor', 'View VM Monitor'],
  ['cUsers_View', 'View Users'], ['cUsers_Add', 'Add User'], ['cUsers_Edit', 'Edit User'],
  ['cUsers_Delete', 'Delete User'], ['cRoles_View', 'View Roles'], ['cRoles_Add', 'Add Role'],
  ['cRoles_Edit', 'Edit Role'], ['cRoles_Delete', 'Delete Role'], ['cLog_Audit', 'View Audit log'],
  ['cLog_AuditEdit', 'Edit Audit log Settings'], ['cLog_System', 'View System log'], ['cLog_SystemEdit', 'Edit System log Settings'],
  ['cUser_ChangePassword', 'Change User Password'], ['cUser_ChangeRole', 'Change User Role'],
].map(([name, text], no) => ({ no, name, text }));

// Groups for the role editor, by claim number.
export const CLAIM_GROUPS = [
  ['Dashboard', [0]],
  ['Servers', [1, 2, 3, 4, 5, 6, 7]],
  ['Virtual machines', [8, 9, 10, 11, 24, 25, 26]],
  ['VM power and console', [12, 13, 14, 15, 16, 17, 18]],
  ['Checkpoints', [19, 20, 21, 22, 23]],
  ['Users', [27, 28, 29, 30, 39, 40]],
  ['Roles', [31, 32, 33, 34]],
  ['Logs', [35, 36, 37, 38]],
];

export function claimText(no) {
  if (no === 100) return 'Login';
  if (no === 101) return 'Logout';
  return CLAIMS[no]?.text ?? '';
}

// VM states as the live data writes them (texts holding digits).
const STATES = {
  1: ['Working…', 'busy'], 2: ['Running', 'running'], 3: ['Off', 'off'], 99999: ['Off', 'off'],
  6: ['Saved', 'saved'], 9: ['Paused', 'paused'], 4: ['Shutting down', 'busy'], 10: ['Starting', 'busy'],
  32768: ['Paused', 'paused'], 32769: ['Saved', 'saved'], 32770: ['Starting', 'busy'],
  32773: ['Saving', 'busy'], 32774: ['Stopping', 'busy'], 32776: ['Pausing', 'busy'],
  32777: ['Resuming', 'busy'], 32779: ['Fast saved', 'saved'], 32780: ['Fast saving', 'busy'],
};

export function vmState(state) {
  if (state === null || state === undefined || state === '') return { code: null, label: 'Unknown', kind: 'unknown' };
  const code = Number(state);
  const s = STATES[code];
  return s ? { code, label: s[0], kind: s[1] } : { code, label: `State ${state}`, kind: 'unknown' };
}

// The actions of a VM: requested state, claim, label, whether a confirmation is asked, and in
// which kinds of state the action makes sense.
export const VM_ACTIONS = [
  { id: 'start', state: 2, claim: 'cVm_Start', label: 'Start', when: ['off', 'saved', 'paused'], style: 'success' },
  { id: 'shutdown', state: 4, claim: 'cVm_Shutdown', label: 'Shut down', when: ['running'], confirm: 'Shut down the guest operating system of' },
  { id: 'turnoff', state: 3, claim: 'cVm_TurnOff', label: 'Turn off', when: ['running', 'paused'], confirm: 'Turn off (like pulling the plug)', danger: true },
  { id: 'save', state: 6, claim: 'cVm_Save', label: 'Save', when: ['running', 'paused'] },
  { id: 'pause', state: 9, claim: 'cVm_Pause', label: 'Pause', when: ['running'] },
  { id: 'reset', state: 11, claim: 'cVm_Reset', label: 'Reset', when: ['running'], confirm: 'Reset (hard restart)', danger: true },
];

export function fmtPercent(v) {
  return typeof v === 'number' && Number.isFinite(v) ? `${Math.round(v)} %` : '—';
}

export function fmtMb(mb) {
  if (typeof mb !== 'number' || !Number.isFinite(mb)) return '—';
  return mb >= 1024 ? `${(mb / 1024).toFixed(1)} GB` : `${mb} MB`;
}

export function fmtBytes(b) {
  const v = typeof b === 'string' ? Number(b) : b;
  if (typeof v !== 'number' || !Number.isFinite(v)) return '—';
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let x = v;
  let u = 0;
  while (x >= 1024 && u < units.length - 1) { x /= 1024; u++; }
  return `${u ? x.toFixed(1) : Math.round(x)} ${units[u]}`;
}

// "1.02:03:04" (days.hours:minutes:seconds) shown the way people read it.
export function fmtUptime(text) {
  if (typeof text !== 'string' || !text) return '—';
  const m = /^(\d+)\.(\d{2}):(\d{2}):(\d{2})$/.exec(text);
  if (!m) return text;
  const [d, hh, mm] = [Number(m[1]), Number(m[2]), Number(m[3])];
  if (d > 0) return `${d} d ${hh} h`;
  if (hh > 0) return `${hh} h ${mm} min`;
  return `${mm} min ${Number(m[4])} s`;
}

export function uptimeSeconds(text) {
  const m = typeof text === 'string' && /^(\d+)\.(\d{2}):(\d{2}):(\d{2})$/.exec(text);
  return m ? ((Number(m[1]) * 24 + Number(m[2])) * 60 + Number(m[3])) * 60 + Number(m[4]) : -1;
}
