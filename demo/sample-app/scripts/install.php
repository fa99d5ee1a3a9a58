<?php
// Configuration script of the guestbook. Called as: install.php <action> [--title=TEXT].
// The panel passes the settings as environment variables; "install" and "configure" write
// config.php into the site directory from them.
$action = $argv[1] ?? '';
if (!in_array($action, ['install', 'configure'], true)) {
    echo "guestbook: nothing to do for '$action'\n";
    exit(0);
}

$settings = [];
foreach (['SITE_DIR', 'DB_HOST', 'DB_NAME', 'DB_USER', 'DB_PASSWORD', 'ADMIN_EMAIL'] as $name) {
    $value = getenv($name);
    if ($value === false || $value === '') {
        echo "guestbook: the environment variable $name is missing\n";
        exit(2);
    }
    $settings[$name] = $value;
}
if (!filter_var($settings['ADMIN_EMAIL'], FILTER_VALIDATE_EMAIL)) {
    echo "guestbook: '{$settings['ADMIN_EMAIL']}' is not an e-mail address\n";
    exit(2);
}
$title = 'Guestbook';
foreach (array_slice($argv, 2) as $option) {
    if (str_starts_with($option, '--title=')) $title = substr($option, strlen('--title='));
}

$config = "<?php\n// Written by the guestbook's install script on " . date('c') . ".\n";
foreach (['DB_HOST', 'DB_NAME', 'DB_USER', 'DB_PASSWORD', 'ADMIN_EMAIL'] as $name) {
    $config .= "define('GUESTBOOK_$name', " . var_export($settings[$name], true) . ");\n";
}
$config .= "define('GUESTBOOK_TITLE', " . var_export($title, true) . ");\n";

$file = rtrim($settings['SITE_DIR'], '/') . '/config.php';
if (file_put_contents($file, $config, LOCK_EX) === false) {
    echo "guestbook: cannot write $file\n";
    exit(1);
}
echo "guestbook: $action done, settings written to $file\n";
