namespace qv5 { void archivePlaceholder() {} }
