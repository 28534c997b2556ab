// The ES module entry: the same module as require('qen-hotkey-helper'), so
// both module systems share one implementation and one set of classes.
export * from './index.cjs';
